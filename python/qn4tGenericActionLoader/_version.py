"""The release of the Python-side package, its tools and its extensions: the one place it is written."""
__version__ = "1.1.0"
