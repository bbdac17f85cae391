"""Types of the `attnencoder` extension module (the stubs live in the alphaloom package)."""
from alphaloom.attnencoder import *
