#!/usr/bin/python3
"""From built module libraries to what a publisher uploads: packages and a signed catalogue.

    publish_modules.py keygen KEY PUBLIC
    publish_modules.py publish --catalogue FILE --packages DIR --url BASE
                               --key KEY [--days N] [--keys BUNDLE]
                               [SIGNER [--sign-timestamp URL]] LIBRARY...
    publish_modules.py sign --catalogue FILE --key KEY [--days N]
    publish_modules.py verify --catalogue FILE --keys BUNDLE

keygen makes an ECDSA P-256 key pair: KEY, the private key (PEM, readable by
its owner only), and PUBLIC, its public key, which goes into the bundle that
the launcher's LAUNCHER_CATALOGUE_KEYS option names (a bundle is PUBLIC files
one after another).

publish packs each LIBRARY (NAME.dll or NAME.so, the module NAME) alone into
DIR/NAME-VERSION.7z with 7zz, merges its entry into FILE as
catalogue_entry.py does (served from BASE/NAME-VERSION.7z), then signs FILE
as sign does and verifies it against KEY's public key, and against BUNDLE
when given. With a SIGNER (sign_image.py's options: --sign-pkcs12, or
--sign-certificate and --sign-key), each DLL is packed with an Authenticode
signature of that certificate (the LIBRARY file itself is left as it is),
and the catalogue's digests are those of the signed library and its package.

sign stamps FILE with "issued", a serial above the previous one (the current
time in seconds, or the previous serial + 1 if that is larger), and
"expires", N days from now (30), and writes FILE.sig: the DER-encoded ECDSA
signature over SHA-256 of FILE's exact bytes. Upload FILE and FILE.sig as
they are.

verify checks that FILE.sig verifies under one of BUNDLE's keys, that FILE
is a catalogue with both stamps and has not expired, and prints the stamps.
Signing and verification use the openssl command.
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import catalogue_entry  # noqa: E402  (lives beside this script)
import pe_image  # noqa: E402
import sign_image  # noqa: E402

SIGNATURE_SUFFIX = ".sig"
STAMP_MEMBERS = ("issued", "expires")
# The launcher's own entry, which offers its newer setup.
LAUNCHER_ENTRY = "launcher"
LIBRARY_EXTENSIONS = (".dll", ".so")
DEFAULT_DAYS = 30
PUBLIC_KEY_BLOCK = re.compile(
    r"-----BEGIN PUBLIC KEY-----[A-Za-z0-9+/=\r\n]+-----END PUBLIC KEY-----")


class PublishError(Exception):
    pass


def _openssl(*arguments, stdin=None):
    try:
        return subprocess.run(["openssl", *arguments], input=stdin, capture_output=True)
    except FileNotFoundError:
        raise PublishError("the openssl command is missing")


def public_key_of(key):
    """The PEM public key of a private key file, which must be P-256."""
    result = _openssl("pkey", "-in", key, "-pubout")
    if result.returncode != 0:
        raise PublishError("cannot read the private key %s" % key)
    if b"NIST CURVE: P-256" not in _openssl("pkey", "-pubin", "-noout", "-text",
                                            stdin=result.stdout).stdout:
        raise PublishError("%s is no ECDSA P-256 key" % key)
    return result.stdout.decode()


def keygen(key, public):
    if os.path.exists(key):
        raise PublishError("%s exists: a private key is never overwritten" % key)
    previous = os.umask(0o077)
    try:
        result = _openssl("genpkey", "-algorithm", "EC", "-pkeyopt",
                          "ec_paramgen_curve:P-256", "-out", key)
    finally:
        os.umask(previous)
    if result.returncode != 0:
        raise PublishError("openssl genpkey failed: %s" % result.stderr.decode().strip())
    catalogue_entry.replace_atomically(public, public_key_of(key).encode())


def _stamped(catalogue, days):
    """The catalogue with a new serial and expiry time."""
    now = int(time.time())
    previous = catalogue.get("issued")
    issued = now
    if isinstance(previous, int) and not isinstance(previous, bool) and previous >= now:
        issued = previous + 1
    catalogue["issued"] = issued
    catalogue["expires"] = now + days * 86400
    return catalogue


def sign(catalogue_path, key, days):
    public_key_of(key)
    catalogue = catalogue_entry.load_catalogue(catalogue_path)
    catalogue_entry.write_catalogue(catalogue_path, _stamped(catalogue, days))
    signature = catalogue_path + SIGNATURE_SUFFIX
    result = _openssl("dgst", "-sha256", "-sign", key, catalogue_path)
    if result.returncode != 0 or not result.stdout:
        raise PublishError("signing failed: %s" % result.stderr.decode().strip())
    catalogue_entry.replace_atomically(signature, result.stdout)


def public_keys(bundle_text):
    keys = PUBLIC_KEY_BLOCK.findall(bundle_text)
    if not keys or PUBLIC_KEY_BLOCK.sub("", bundle_text).strip():
        raise PublishError("a key bundle holds PEM \"PUBLIC KEY\" blocks and nothing else")
    return keys


def verify(catalogue_path, bundle_text):
    """The catalogue's stamps, once its signature verifies under a key of the bundle."""
    with tempfile.TemporaryDirectory() as scratch:
        verified = False
        for index, key in enumerate(public_keys(bundle_text)):
            path = os.path.join(scratch, "%d.pem" % index)
            with open(path, "w") as stream:
                stream.write(key + "\n")
            result = _openssl("dgst", "-sha256", "-verify", path, "-signature",
                              catalogue_path + SIGNATURE_SUFFIX, catalogue_path)
            verified = verified or result.returncode == 0
    if not verified:
        raise PublishError("the signature of %s verifies under none of the keys" % catalogue_path)
    catalogue = catalogue_entry.load_catalogue(catalogue_path)
    stamps = [catalogue.get(name) for name in STAMP_MEMBERS]
    if not all(isinstance(v, int) and not isinstance(v, bool) and 0 <= v < 2 ** 63
               for v in stamps):
        raise PublishError("%s lacks an integer \"issued\" or \"expires\"" % catalogue_path)
    if stamps[1] <= time.time():
        raise PublishError("%s expired at %s" % (catalogue_path, _utc(stamps[1])))
    return stamps


def _utc(seconds):
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(seconds))


def module_name(library):
    base = os.path.basename(library)
    for extension in LIBRARY_EXTENSIONS:
        if base.endswith(extension) and len(base) > len(extension):
            name = base[:-len(extension)]
            if name in STAMP_MEMBERS + (LAUNCHER_ENTRY,):
                raise PublishError("%r is the catalogue's own member, no module's name" % name)
            return name
    raise PublishError("%s: a module library is NAME.dll or NAME.so" % library)


def pack(library, packages, signer=None):
    """Packs the library alone into packages/NAME-VERSION.7z, a DLL signed
    with signer's options when given; returns (name, version, path, the
    packed library's SHA-512)."""
    name = module_name(library)
    packages = os.path.abspath(packages)
    with open(library, "rb") as stream:
        data = stream.read()
    version = catalogue_entry.library_version(data)
    package = os.path.join(packages, "%s-%s.7z" % (name, version))
    os.makedirs(packages, exist_ok=True)
    # 7zz adds to an archive that exists: pack anew, then move into place.
    with tempfile.TemporaryDirectory(dir=packages) as scratch:
        if signer is not None and pe_image.is_pe(data):
            # The signature is part of what the digests bind: sign first.
            copy = os.path.join(scratch, os.path.basename(library))
            with open(copy, "wb") as stream:
                stream.write(data)
            sign_image.sign(copy, signer)
            library = copy
        packed = os.path.join(scratch, "package.7z")
        try:
            result = subprocess.run(
                ["7zz", "a", "-t7z", "-bso0", "-bsp0", packed, os.path.basename(library)],
                cwd=os.path.dirname(os.path.abspath(library)), capture_output=True)
        except FileNotFoundError:
            raise PublishError("7zz is missing (Debian's 7zip package)")
        if result.returncode != 0:
            raise PublishError("7zz failed on %s: %s" % (library, result.stderr.decode().strip()))
        os.chmod(packed, 0o644)
        os.replace(packed, package)
        return name, version, package, catalogue_entry._sha512(library)


def publish(args):
    os.makedirs(os.path.dirname(os.path.abspath(args.catalogue)), exist_ok=True)
    catalogue = catalogue_entry.load_catalogue(args.catalogue)
    signer = sign_image.signer_arguments(args)
    for library in args.libraries:
        name, version, package, library_digest = pack(library, args.packages, signer)
        entry = {
            "install": "%s/%s" % (args.url.rstrip("/"), os.path.basename(package)),
            "size": os.path.getsize(package),
            "sha512e": catalogue_entry._sha512(package),
            "sha512d": library_digest,
        }
        catalogue = catalogue_entry.merge_entry(catalogue, name, version, entry)
        print("%s %s: %s" % (name, version, package))
    catalogue_entry.write_catalogue(args.catalogue, catalogue)
    sign(args.catalogue, args.key, args.days)
    verify(args.catalogue, public_key_of(args.key))
    if args.keys:
        with open(args.keys) as stream:
            verify(args.catalogue, stream.read())


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     fromfile_prefix_chars="@")
    commands = parser.add_subparsers(dest="command", required=True)
    command = commands.add_parser("keygen", help="make a P-256 key pair")
    command.add_argument("key", help="private key file to create")
    command.add_argument("public", help="public key file to write")
    command = commands.add_parser("publish", help="pack libraries, write and sign the catalogue")
    command.add_argument("--catalogue", required=True, help="catalogue JSON file to update")
    command.add_argument("--packages", required=True, help="directory for the 7z packages")
    command.add_argument("--url", required=True, help="URL the packages directory is served at")
    command.add_argument("--key", required=True, help="private key to sign with")
    command.add_argument("--keys", help="public key bundle the result must verify under")
    command.add_argument("--days", type=int, default=DEFAULT_DAYS, help="days until it expires")
    sign_image.add_signer_arguments(command)
    command.add_argument("libraries", nargs="+", metavar="LIBRARY")
    command = commands.add_parser("sign", help="stamp and sign a catalogue")
    command.add_argument("--catalogue", required=True)
    command.add_argument("--key", required=True)
    command.add_argument("--days", type=int, default=DEFAULT_DAYS)
    command = commands.add_parser("verify", help="check a signed catalogue")
    command.add_argument("--catalogue", required=True)
    command.add_argument("--keys", required=True, help="public key bundle")
    args = parser.parse_args(argv)
    try:
        if getattr(args, "days", 1) < 1:
            raise PublishError("--days must be at least 1")
        if args.command == "keygen":
            keygen(args.key, args.public)
        elif args.command == "publish":
            publish(args)
        elif args.command == "sign":
            sign(args.catalogue, args.key, args.days)
        else:
            with open(args.keys) as stream:
                issued, expires = verify(args.catalogue, stream.read())
            print("verified: issued %d, expires %s" % (issued, _utc(expires)))
    except (PublishError, catalogue_entry.EntryError, sign_image.SignError, OSError) as error:
        print("publish_modules: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
