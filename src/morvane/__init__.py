"""morvane: image filters."""
