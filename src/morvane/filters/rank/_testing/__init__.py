"""Test clients of the sliding-histogram core (private test support)."""
