"""Run by an installed interpreter from a folder outside the source tree: the package, its
layout module and extensions come from the install, with the source's version, the stubs
and py.typed beside them; then the README's examples run, each in a folder of its own: the
first writes spells.gz and prints what it wrote; the later ones change a spells.gz that
holds examples/actions.json.

    check_installed.py SOURCE_DIR VERSION README"""
from __future__ import print_function

import io
import json
import os
import re
import subprocess
import sys

source, version, readme = sys.argv[1:4]

import qn4tGenericActionLoader as q  # noqa: E402
import qn4tGenericActionLayout  # noqa: E402
import _qn4tGenericActionLoader  # noqa: E402
import _qn4tGenericActionSupport  # noqa: E402

source = os.path.realpath(source)
for module in (q, qn4tGenericActionLayout, _qn4tGenericActionLoader):
    where = os.path.realpath(module.__file__)
    if where.startswith(source + os.sep):
        sys.exit("%s was imported from the source tree: %s" % (module.__name__, where))
# The companion lives in the flat module's shared object; imported first, it comes through the
# installed _qn4tGenericActionSupport.py as the same native module.
if _qn4tGenericActionSupport.DamagedFileError is not q.DamagedFileError:
    sys.exit("the package uses another _qn4tGenericActionSupport than the registered one")
companion_first = subprocess.check_output([sys.executable, "-c", (
    "from __future__ import print_function\n"
    "import _qn4tGenericActionSupport as c, _qn4tGenericActionLoader as f, sys\n"
    "r = f.new_qn4tGeneric_Damage_Details()\n"
    "c.qn4tGeneric_Damage_Details_range_set(r, 200)\n"
    "print(f.qn4tGeneric_Damage_Details_range_get(r), sys.modules[c.__name__] is c)\n")])
if companion_first.split() != [b"200", b"True"]:
    sys.exit("importing _qn4tGenericActionSupport first printed %r" % companion_first)
if q.__version__ != version:
    sys.exit("__version__ is %r, the source says %r" % (q.__version__, version))
if hasattr(_qn4tGenericActionLoader, "__version__"):
    sys.exit("the flat module gained a __version__")
package_dir = os.path.dirname(q.__file__)
for name in ("__init__.pyi", "py.typed"):
    if not os.path.isfile(os.path.join(package_dir, name)):
        sys.exit("%s is not installed beside the package" % name)
stubs = io.open(os.path.join(package_dir, "__init__.pyi"), encoding="utf-8").read()
for cls in q.RECORD_CLASSES:
    if "class %s(" % cls.__name__ not in stubs:
        sys.exit("the installed stubs lack %s" % cls.__name__)

with io.open(readme, encoding="utf-8") as text:
    examples = re.findall(r"```python\n(.*?)```", text.read(), re.S)
with io.open(os.path.join(source, "examples", "actions.json"), encoding="utf-8") as text:
    example_actions = [q.Action.from_dict(a) for a in json.load(text)["actions"]]
for number, example in enumerate(examples, 1):
    folder = "readme_example_%d" % number
    os.mkdir(folder)
    if number > 1:
        q.write_actions(os.path.join(folder, "spells.gz"), example_actions)
    with io.open(os.path.join(folder, "example.py"), "w", encoding="utf-8") as out:
        out.write(example)
    printed = subprocess.check_output([sys.executable, "example.py"], cwd=folder)
    if number == 1 and printed.decode("utf-8").split() != ["7", "Emberfall", "EMBR"]:
        sys.exit("the README's first example printed %r" % printed)
