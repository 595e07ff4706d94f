"""The companion of _qn4tGenericActionLoader lives in the flat module's shared object: the flat
module's start makes it and enters it in sys.modules under this name, in place of this file.
This file is found only when a script imports the companion before the flat module: it
imports the flat module, and the import statement then gives the companion."""
import sys as _sys

# Held while the flat module's start takes this file's place in sys.modules: Python 2 empties
# the namespace of a module that nothing refers to any more.
_this_file = _sys.modules[__name__]

import _qn4tGenericActionLoader as _flat  # noqa: E402,F401 (its start enters the companion)

# The companion has its stream functions; this file has none. Still this file: the flat module
# started earlier in this process, and the companion it made was removed from sys.modules.
if "stream_close" not in vars(_sys.modules.get(__name__, _this_file)):
    del _this_file
    raise ImportError("_qn4tGenericActionSupport was removed from sys.modules; it is made once, "
                      "by the start of _qn4tGenericActionLoader, and cannot be imported again")
del _sys, _flat, _this_file
