"""Decision trees whose every split is chosen by K-fold cross-validation."""

__version__ = "0.1.0"
