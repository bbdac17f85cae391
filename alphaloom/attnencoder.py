"""The `attnencoder` extension module under the package name: `alphaloom.attnencoder is attnencoder`."""
import sys

import attnencoder as _module

sys.modules[__name__] = _module
