"""morvane.filters: image and volume filters."""
