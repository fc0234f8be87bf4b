#!/usr/bin/python3
"""Authenticode signatures on Windows images (exe, dll, setup), with osslsigncode.

    sign_image.py sign SIGNER [--sign-timestamp URL] IMAGE...
    sign_image.py verify --root PEM IMAGE...
    sign_image.py test-pki DIR

SIGNER is one of
    --sign-pkcs12 FILE                      a PKCS#12 file with key and chain
    --sign-certificate PEM --sign-key FILE  a PEM certificate chain, its PEM key
    --sign-certificate PEM --sign-key URI --sign-pkcs11-module SO
        [--sign-pkcs11-engine SO]           the key on a PKCS#11 token

A password (of the PKCS#12 file or the key, or the token's PIN) is read from
the environment variable LAUNCHER_SIGN_PASSWORD and handed to osslsigncode
through a pipe, so it shows in no command line. Arguments may come from a
file, one a line, named as @FILE (the build writes its signer so).

sign replaces each image by the image signed with SHA-256 (a signature it
already had is dropped first), timestamped by the RFC 3161 service at URL
when given. verify checks each image's signature and its chain up to the
root in PEM. test-pki makes DIR/root.pem, DIR/signer.pem and DIR/signer.key:
a root and a code-signing certificate under it, for test builds only.
"""

import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe_image  # noqa: E402  (lives beside this script)

PASSWORD_VARIABLE = "LAUNCHER_SIGN_PASSWORD"
DIRECTORY_SECURITY = 4


class SignError(Exception):
    pass


def add_signer_arguments(parser):
    group = parser.add_argument_group("code signing")
    group.add_argument("--sign-pkcs12", help="PKCS#12 file with the code-signing key and chain")
    group.add_argument("--sign-certificate", help="PEM certificate chain of --sign-key")
    group.add_argument("--sign-key",
                       help="PEM key file, or a PKCS#11 URI with --sign-pkcs11-module")
    group.add_argument("--sign-pkcs11-module", help="the token's PKCS#11 module")
    group.add_argument("--sign-pkcs11-engine",
                       help="OpenSSL's PKCS#11 engine, if not found by itself")
    group.add_argument("--sign-timestamp", help="RFC 3161 time-stamping service URL")


def signer_arguments(args):
    """osslsigncode's options for the signer that args name, or None when they name none."""
    if args.sign_pkcs12:
        if args.sign_certificate or args.sign_key or args.sign_pkcs11_module:
            raise SignError("--sign-pkcs12 goes without --sign-certificate, --sign-key "
                            "and --sign-pkcs11-module")
        if os.environ.get(PASSWORD_VARIABLE) is None:
            raise SignError("the PKCS#12 file's password is read from %s, which is not set"
                            % PASSWORD_VARIABLE)
        chosen = ["-pkcs12", args.sign_pkcs12]
    elif args.sign_certificate and args.sign_key:
        chosen = ["-certs", args.sign_certificate, "-key", args.sign_key]
        if args.sign_pkcs11_module:
            chosen = ["-pkcs11module", args.sign_pkcs11_module] + chosen
            if args.sign_pkcs11_engine:
                chosen = ["-pkcs11engine", args.sign_pkcs11_engine] + chosen
    elif args.sign_certificate or args.sign_key or args.sign_pkcs11_module:
        raise SignError("--sign-certificate and --sign-key go together")
    else:
        return None
    if args.sign_timestamp:
        chosen += ["-ts", args.sign_timestamp]
    return chosen


def _osslsigncode(arguments, password=None):
    """Runs osslsigncode; a password goes through a pipe that it reads as a file."""
    extra, fds = [], ()
    if password is not None:
        # A pipe holds far more than a password: written whole before the
        # command starts, it never blocks.
        read_end, write_end = os.pipe()
        os.write(write_end, password.encode())
        os.close(write_end)
        extra, fds = ["-readpass", "/dev/fd/%d" % read_end], (read_end,)
    try:
        return subprocess.run(["osslsigncode", *arguments[:1], *extra, *arguments[1:]],
                              capture_output=True, text=True, pass_fds=fds)
    except FileNotFoundError:
        raise SignError("osslsigncode is missing (scripts/setup installs it)")
    finally:
        for fd in fds:
            os.close(fd)


def _has_signature(data):
    image = pe_image.PeImage(data)
    return (len(image.directories) > DIRECTORY_SECURITY
            and image.directories[DIRECTORY_SECURITY][1] != 0)


def sign(path, chosen):
    """Replaces the image at path by the image signed as chosen (signer_arguments)."""
    with open(path, "rb") as stream:
        data = stream.read()
    try:
        signed_before = _has_signature(data)
    except pe_image.PeError as error:
        raise SignError("%s: %s" % (path, error))
    directory = os.path.dirname(os.path.abspath(path))
    with tempfile.TemporaryDirectory(dir=directory, prefix=".sign-") as scratch:
        source = path
        if signed_before:
            source = os.path.join(scratch, "unsigned")
            result = _osslsigncode(["remove-signature", "-in", path, "-out", source])
            if result.returncode != 0:
                raise SignError("%s: removing its signature failed: %s"
                                % (path, result.stdout + result.stderr))
        signed = os.path.join(scratch, "signed")
        result = _osslsigncode(["sign", *chosen, "-h", "sha256", "-in", source, "-out", signed],
                               os.environ.get(PASSWORD_VARIABLE))
        if result.returncode != 0:
            raise SignError("%s: signing failed: %s" % (path, (result.stdout + result.stderr)
                                                        .strip()))
        os.chmod(signed, os.stat(path).st_mode & 0o7777)
        os.replace(signed, path)


def verify(path, root):
    """None when the image's signature verifies up to root, else osslsigncode's account."""
    result = _osslsigncode(["verify", "-CAfile", root, "-in", path])
    return None if result.returncode == 0 else (result.stdout + result.stderr).strip()


def test_pki(directory):
    """A root and a code-signing certificate under it, made once."""
    os.makedirs(directory, exist_ok=True)
    configuration = os.path.join(directory, "signer.cnf")
    with open(configuration, "w") as stream:
        stream.write("[signer]\nbasicConstraints = critical, CA:FALSE\n"
                     "keyUsage = critical, digitalSignature\n"
                     "extendedKeyUsage = codeSigning\n"
                     "subjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n")
    previous = os.umask(0o077)
    steps = [
        ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "root.key",
         "-out", "root.pem", "-days", "3650", "-subj", "/CN=Launcher Test Code Signing Root",
         "-addext", "basicConstraints=critical,CA:TRUE",
         "-addext", "keyUsage=critical,keyCertSign,cRLSign"],
        ["req", "-newkey", "rsa:2048", "-nodes", "-keyout", "signer.key", "-out", "signer.csr",
         "-subj", "/CN=Launcher Test Publisher"],
        ["x509", "-req", "-in", "signer.csr", "-CA", "root.pem", "-CAkey", "root.key",
         "-CAcreateserial", "-out", "signer.pem", "-days", "825",
         "-extfile", "signer.cnf", "-extensions", "signer"],
    ]
    try:
        for step in steps:
            result = subprocess.run(["openssl", *step], cwd=directory, capture_output=True,
                                    text=True)
            if result.returncode != 0:
                raise SignError("openssl %s failed: %s" % (step[0], result.stderr.strip()))
    finally:
        os.umask(previous)
        for name in ("root.key", "signer.csr", "root.srl", "signer.cnf"):
            if os.path.exists(os.path.join(directory, name)):
                os.remove(os.path.join(directory, name))
    for name in ("root.pem", "signer.pem"):
        os.chmod(os.path.join(directory, name), 0o644)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     fromfile_prefix_chars="@")
    commands = parser.add_subparsers(dest="command", required=True)
    command = commands.add_parser("sign", help="sign images in place")
    add_signer_arguments(command)
    command.add_argument("images", nargs="+", metavar="IMAGE")
    command = commands.add_parser("verify", help="verify images' signatures")
    command.add_argument("--root", required=True, help="the chain's root certificate (PEM)")
    command.add_argument("images", nargs="+", metavar="IMAGE")
    command = commands.add_parser("test-pki", help="make a test code-signing PKI")
    command.add_argument("directory")
    args = parser.parse_args(argv)
    try:
        if args.command == "sign":
            chosen = signer_arguments(args)
            if chosen is None:
                raise SignError("no signer: --sign-pkcs12, or --sign-certificate and "
                                "--sign-key")
            for image in args.images:
                sign(image, chosen)
        elif args.command == "verify":
            failed = [(image, verify(image, args.root)) for image in args.images]
            failed = [(image, account) for image, account in failed if account is not None]
            for image, account in failed:
                print("%s: not verified:\n%s" % (image, account), file=sys.stderr)
            return 1 if failed else 0
        else:
            test_pki(args.directory)
    except (SignError, OSError) as error:
        print("sign_image: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
