"""Test clients of the sliding-histogram core (private test support); the
filters' two roads without the public functions' conversions in `filters`."""
