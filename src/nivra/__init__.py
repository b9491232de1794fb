"""nivra: hyperspectral image segmentation toolkit."""
