"""Output files that appear only when complete: written under a temporary name in the target's
directory (so the final rename stays on one file system), then renamed over the target."""
from __future__ import print_function, division

import os
import tempfile


def temporary_beside(path):
    """Creates an empty temporary file next to path and returns its name."""
    directory = os.path.dirname(os.path.abspath(path))
    handle, temp_path = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".",
                                         suffix=".part", dir=directory)
    os.close(handle)
    return temp_path


def publish(temp_path, path):
    """Gives the finished temporary file the usual mode of a new file (mkstemp makes it
    0600) and renames it to path, replacing what was there."""
    mask = os.umask(0)
    os.umask(mask)
    os.chmod(temp_path, 0o666 & ~mask)
    os.rename(temp_path, path)


def remove_quietly(*paths):
    for path in paths:
        try:
            os.remove(path)
        except OSError:
            pass  # already gone, or published
