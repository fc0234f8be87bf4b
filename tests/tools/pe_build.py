"""Small Windows executables and DLLs built with mingw-w64, for the PE tests."""

import os
import shutil
import subprocess

import pytest

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HEADER_DIR = os.path.join(SOURCE, "src", "modules")
ARCHES = ("i686", "x86_64")

# A module as the contract asks for it, built against the public header alone.
MODULE_SOURCE = ('#include "launcher_module.h"\n'
                 "LAUNCHER_MODULE_VERSION(1, 0, 0, 0);\n"
                 "const ModuleHandler *registerHandler(void) { return 0; }\n")


def version_rc(parts):
    return "1 VERSIONINFO\nFILEVERSION %s\nBEGIN\nEND\n" % ",".join(str(part) for part in parts)


def _tool(arch, name):
    path = shutil.which("%s-w64-mingw32-%s" % (arch, name))
    if path is None:
        pytest.skip("the %s mingw-w64 %s is not installed" % (arch, name))
    return path


def build(directory, arch, output, source, rc=None, files=None, flags=(), libraries=()):
    """Compiles source (and rc, through windres) into directory/output.

    An output ending in ".dll" is linked as a DLL. files are written beside
    the sources first (manifests the rc names, for instance); libraries
    follow the objects on the link line."""
    directory = str(directory)
    stem = os.path.splitext(output)[0]

    def write(name, text):
        with open(os.path.join(directory, name), "w") as stream:
            stream.write(text)
        return os.path.join(directory, name)

    for name, text in (files or {}).items():
        write(name, text)
    inputs = [write(stem + ".c", source)]
    if rc is not None:
        resources = os.path.join(directory, stem + ".res.o")
        subprocess.run([_tool(arch, "windres"), write(stem + ".rc", rc), "-o", resources],
                       cwd=directory, check=True)
        inputs.append(resources)
    target = os.path.join(directory, output)
    kind = ["-shared"] if output.endswith(".dll") else []
    subprocess.run([_tool(arch, "gcc")] + kind + list(flags) + ["-I", HEADER_DIR] + inputs
                   + list(libraries) + ["-o", target], cwd=directory, check=True)
    return target
