"""`python -m qn4tGenericActionLoader`: says which release is installed, and where."""
from __future__ import print_function

import os

import qn4tGenericActionLoader

print("qn4tGenericActionLoader %s (%s)" % (qn4tGenericActionLoader.__version__,
                                          os.path.dirname(qn4tGenericActionLoader.__file__)))
