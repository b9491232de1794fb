"""nivra: hyperspectral image segmentation toolkit."""

# The one place the version is written: the build reads it from here.
__version__ = "0.1.0"
