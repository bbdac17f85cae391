"""The `factorsearch` extension module under the package name: `alphaloom.factorsearch is factorsearch`."""
import sys

import factorsearch as _module

sys.modules[__name__] = _module
