"""The release number, written only here: the build reads it into the package's metadata."""

__version__ = "0.2.0"
