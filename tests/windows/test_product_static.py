"""Static checks of a Windows build: the launcher's image and the test modules.

    LAUNCHER_WIN_BUILD_DIR=<build> [LAUNCHER_WIN_ARCH=i686|x86_64] \\
        /usr/bin/python3 -m pytest -q tests/windows

Without LAUNCHER_WIN_BUILD_DIR the product tests skip; the checks still run
against images built here with mingw-w64, good and deliberately wrong.
"""

import glob
import json
import os
import re
import sys
import xml.etree.ElementTree as ET
import zipfile

import pytest

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE, "tools"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "tools"))
import pe_image  # noqa: E402
import sign_image  # noqa: E402
from pe_build import ARCHES, MODULE_SOURCE, build, version_rc  # noqa: E402

MACHINES = {"i686": (pe_image.MACHINE_I386, False), "x86_64": (pe_image.MACHINE_AMD64, True)}
# DLLs every supported Windows has; anything else would have to ship beside the launcher.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ws2_32.dll", "advapi32.dll", "crypt32.dll",
               "secur32.dll", "ole32.dll", "version.dll", "bcrypt.dll", "user32.dll"}
# The DLLs that Windows takes from System32 whatever lies beside the
# executable (KnownDLLs on every supported version); any other that the
# launcher imported would be looked for in its folder first, before main.
KNOWN_DLLS = {"kernel32.dll", "msvcrt.dll", "ws2_32.dll", "advapi32.dll", "ole32.dll",
              "user32.dll"}
# Windows reads requestedExecutionLevel only in these namespaces.
TRUST_NAMESPACES = {"urn:schemas-microsoft-com:asm.v2", "urn:schemas-microsoft-com:asm.v3"}
NO_EXPORT_MODULE = "noexport"


def project_version():
    with open(os.path.join(SOURCE, "CMakeLists.txt")) as stream:
        match = re.search(r"project\(\s*launcher\s+VERSION\s+(\d+(?:\.\d+){0,3})", stream.read())
    assert match, "no project(launcher VERSION ...) in CMakeLists.txt"
    parts = [int(part) for part in match.group(1).split(".")]
    return tuple(parts + [0] * (4 - len(parts)))


def format_problems(image, arch):
    machine, pe32_plus = MACHINES[arch]
    problems = []
    if image.machine != machine:
        problems.append("machine 0x%x, not 0x%x for %s" % (image.machine, machine, arch))
    if image.pe32_plus != pe32_plus:
        problems.append("%s image, not %s" % (("PE32", "PE32+")[image.pe32_plus],
                                              ("PE32", "PE32+")[pe32_plus]))
    return problems


def subsystem_problems(image):
    if image.subsystem != pe_image.SUBSYSTEM_WINDOWS_GUI:
        return ["subsystem %d, not Windows GUI (2)" % image.subsystem]
    return []


def shared_section_problems(image):
    """No section that every process of the image shares, whoever runs it: one
    user's process could write what another user's launcher reads."""
    return ["section %s is shared by every process of the image" % section.name
            for section in image.sections
            if section.characteristics & pe_image.SCN_MEM_SHARED]


def manifest_problems(image):
    data = image.resource_data(pe_image.RT_MANIFEST, 1)
    if data is None:
        return ["no RT_MANIFEST resource with id 1"]
    try:
        root = ET.fromstring(data)
    except ET.ParseError as error:
        return ["the manifest is not XML: %s" % error]
    levels = [element for element in root.iter()
              if element.tag.rpartition("}")[2] == "requestedExecutionLevel"]
    if len(levels) != 1:
        return ["the manifest has %d requestedExecutionLevel elements, not one" % len(levels)]
    element = levels[0]
    problems = []
    namespace = element.tag[1:].partition("}")[0] if element.tag.startswith("{") else ""
    if namespace not in TRUST_NAMESPACES:
        problems.append("requestedExecutionLevel in namespace %r, which Windows ignores"
                        % namespace)
    if element.get("level") != "asInvoker":
        problems.append("the manifest requests level %r, not asInvoker" % element.get("level"))
    if element.get("uiAccess", "false").lower() != "false":
        problems.append("the manifest requests uiAccess")
    return problems


def version_problems(image, expected):
    version = image.file_version()
    if version is None:
        return ["no VERSIONINFO resource"]
    if version != expected:
        return ["file version %s, not the project's %s" % (".".join(map(str, version)),
                                                           ".".join(map(str, expected)))]
    return []


def import_problems(image):
    foreign = [name for name in image.imported_dlls() if name.lower() not in SYSTEM_DLLS]
    return ["imports DLLs outside the system's: %s" % ", ".join(foreign)] if foreign else []


def planting_problems(image):
    looked_for = [name for name in image.imported_dlls() if name.lower() not in KNOWN_DLLS]
    return (["imports DLLs that Windows looks for beside it first: %s" % ", ".join(looked_for)]
            if looked_for else [])


def launcher_problems(image, arch, version):
    return (format_problems(image, arch) + subsystem_problems(image)
            + shared_section_problems(image) + manifest_problems(image)
            + version_problems(image, version) + import_problems(image)
            + planting_problems(image))


def module_problems(image, name, arch):
    """A module library loads into the launcher and offers the registerHandler export."""
    problems = format_problems(image, arch) + import_problems(image)
    exported = "registerHandler" in image.exported_names()
    if name == NO_EXPORT_MODULE and exported:
        problems.append("exports registerHandler")
    elif name != NO_EXPORT_MODULE and not exported:
        problems.append("does not export registerHandler undecorated (its exports: %s)"
                        % (", ".join(image.exported_names()) or "none"))
    return problems


def read_image(path):
    with open(path, "rb") as stream:
        return pe_image.PeImage(stream.read())


# The product, when a Windows build is named.

@pytest.fixture(scope="module")
def build_dir():
    directory = os.environ.get("LAUNCHER_WIN_BUILD_DIR")
    if not directory:
        pytest.skip("LAUNCHER_WIN_BUILD_DIR names no Windows build")
    return directory


@pytest.fixture(scope="module")
def arch():
    value = os.environ.get("LAUNCHER_WIN_ARCH", "i686")
    if value not in MACHINES:
        pytest.fail("LAUNCHER_WIN_ARCH is %r, not one of %s" % (value, ", ".join(MACHINES)))
    return value


def test_launcher_image(build_dir, arch):
    image = read_image(os.path.join(build_dir, "launcher.exe"))
    problems = launcher_problems(image, arch, project_version())
    assert not problems, "launcher.exe:\n" + "\n".join(problems)


def test_module_libraries(build_dir, arch):
    paths = sorted(glob.glob(os.path.join(build_dir, "test-modules", "*.dll")))
    if not paths:
        pytest.skip("no test modules in this build")
    problems = []
    for path in paths:
        name = os.path.splitext(os.path.basename(path))[0]
        problems += ["%s: %s" % (name, problem)
                     for problem in module_problems(read_image(path), name, arch)]
    assert not problems, "\n".join(problems)


def test_publisher_package(build_dir, arch):
    """launcher-<version>-win32.zip, when the build made it: the executable as
    built, the root that signs the bridge's certificate, the publisher's text."""
    version = ".".join(str(part) for part in project_version())
    path = os.path.join(build_dir, "launcher-%s-win32.zip" % version)
    if not os.path.exists(path):
        pytest.skip("the build made no publisher's package")
    with zipfile.ZipFile(path) as package:
        assert sorted(package.namelist()) == ["README.txt", "launcher.exe", "root.crt"]
        with open(os.path.join(build_dir, "launcher.exe"), "rb") as stream:
            assert package.read("launcher.exe") == stream.read()
        root = package.read("root.crt").decode()
        assert root.count("-----BEGIN CERTIFICATE-----") == 1
        with open(os.path.join(build_dir, "identity", "chain.pem")) as stream:
            assert root.strip() in stream.read()


def test_installer_image(build_dir, arch):
    """launcher-<version>-setup.exe, when the build made it: a program of the
    build's machine that runs with the user's rights (an elevated installer would install
    for the administrator's account), of the project's version."""
    version = ".".join(str(part) for part in project_version())
    path = os.path.join(build_dir, "launcher-%s-setup.exe" % version)
    if not os.path.exists(path):
        pytest.skip("the build made no installer")
    image = read_image(path)
    problems = (format_problems(image, arch) + subsystem_problems(image)
                + manifest_problems(image) + version_problems(image, project_version()))
    assert not problems, os.path.basename(path) + ":\n" + "\n".join(problems)


def test_images_are_signed(build_dir, arch, tmp_path):
    """Every image the build signs verifies up to the build's code-signing
    root (the checks above ran on the signed images); a flipped byte fails."""
    with open(os.path.join(build_dir, "test-launcher", "settings.json")) as stream:
        root = json.load(stream)["code_signing_root"]
    if not root:
        pytest.skip("the build signs with the publisher's certificate")
    version = ".".join(str(part) for part in project_version())
    images = [os.path.join(build_dir, name) for name in (
        "launcher.exe", "test-launcher/launcher.exe", "test-launcher/signed/launcher.exe",
        "examples/sysinfo.dll", "test-tools/aided/aided.dll")]
    images += sorted(glob.glob(os.path.join(build_dir, "test-modules", "*.dll")))
    setup = os.path.join(build_dir, "launcher-%s-setup.exe" % version)
    if os.path.exists(setup):
        images.append(setup)
    unverified = ["%s: %s" % (path, account) for path, account in
                  ((path, sign_image.verify(path, root)) for path in images) if account]
    assert not unverified, "\n".join(unverified)
    data = bytearray(open(images[0], "rb").read())
    data[len(data) // 2] ^= 1
    tampered = tmp_path / "launcher.exe"
    tampered.write_bytes(bytes(data))
    assert sign_image.verify(str(tampered), root) is not None


# The same checks on images built here, so that each can be seen to fail.

APP_SOURCE = """#include <windows.h>
%s volatile long instanceFlag = 0;
%s
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR line, int show) {
  (void)instance; (void)previous; (void)line; (void)show;
  return (int)instanceFlag + %s;
}
"""
MANIFEST = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">
    <security><requestedPrivileges>
      <requestedExecutionLevel level="%s" uiAccess="false"/>
    </requestedPrivileges></security>
  </trustInfo>
</assembly>
"""


def build_app(directory, arch, level="asInvoker", version=None, shared=False, gui=True,
              foreign_dll=None):
    """An executable shaped like the launcher, each property selectable."""
    attribute = '__attribute__((section("gshared"), shared))' if shared else ""
    declaration, call = ("int helper(void);", "helper()") if foreign_dll else ("", "0")
    rc = version_rc(version or project_version()) + '1 24 "app.manifest"\n'
    return build(directory, arch, "app.exe", APP_SOURCE % (attribute, declaration, call), rc,
                 files={"app.manifest": MANIFEST % level}, flags=["-mwindows"] if gui else [],
                 libraries=[foreign_dll] if foreign_dll else [])


@pytest.mark.parametrize("target", ARCHES)
def test_checks_pass_a_well_formed_build(tmp_path, target):
    assert launcher_problems(read_image(build_app(tmp_path, target)), target,
                             project_version()) == []
    module = build(tmp_path, target, "alpha.dll", MODULE_SOURCE)
    assert module_problems(read_image(module), "alpha", target) == []


def test_checks_report_a_wrong_launcher(tmp_path):
    helper = build(tmp_path, "i686", "libgcc_s_dw2-1.dll",
                   "__declspec(dllexport) int helper(void) { return 1; }\n")
    image = read_image(build_app(tmp_path, "i686", level="requireAdministrator",
                                 version=(9, 8, 7, 6), shared=True, gui=False,
                                 foreign_dll=helper))
    assert format_problems(image, "x86_64") == ["machine 0x14c, not 0x8664 for x86_64",
                                                "PE32 image, not PE32+"]
    assert subsystem_problems(image) == ["subsystem 3, not Windows GUI (2)"]
    assert shared_section_problems(image) == [
        "section gshared is shared by every process of the image"]
    assert manifest_problems(image) == ["the manifest requests level 'requireAdministrator', "
                                        "not asInvoker"]
    version = ".".join(map(str, project_version()))
    assert version_problems(image, project_version()) == [
        "file version 9.8.7.6, not the project's %s" % version]
    assert import_problems(image) == ["imports DLLs outside the system's: libgcc_s_dw2-1.dll"]


def test_checks_report_what_is_missing(tmp_path):
    source = "int main(void) { return 0; }\n"
    image = read_image(build(tmp_path, "x86_64", "bare.exe", source))
    assert manifest_problems(image) == ["no RT_MANIFEST resource with id 1"]
    assert version_problems(image, (1, 0, 0, 0)) == ["no VERSIONINFO resource"]


def test_checks_report_wrong_modules(tmp_path):
    stdcall = build(tmp_path, "i686", "stdcall.dll",
                    "__declspec(dllexport) const void *__stdcall registerHandler(void)"
                    " { return 0; }\n")
    assert module_problems(read_image(stdcall), "stdcall", "i686") == [
        "does not export registerHandler undecorated (its exports: registerHandler@0)"]
    exporting = build(tmp_path, "x86_64", "noexport.dll", MODULE_SOURCE)
    assert module_problems(read_image(exporting), "noexport", "x86_64") == [
        "exports registerHandler"]


class ManifestOnly:
    def __init__(self, text):
        self.text = text

    def resource_data(self, resource_type, name):
        return self.text.encode() if (resource_type, name) == (pe_image.RT_MANIFEST, 1) else None


@pytest.mark.parametrize("text, problem", [
    ("<assembly", "the manifest is not XML"),
    (MANIFEST.replace("asm.v3", "asm.v1") % "asInvoker", "namespace"),
    (MANIFEST.replace('uiAccess="false"', 'uiAccess="true"') % "asInvoker", "uiAccess"),
    (MANIFEST.replace("<security>", "<security><requestedExecutionLevel level='asInvoker'/>")
     % "asInvoker", "2 requestedExecutionLevel elements"),
])
def test_manifest_check_reads_the_xml(text, problem):
    problems = manifest_problems(ManifestOnly(text))
    assert len(problems) == 1 and problem in problems[0], problems
