"""Reading minisign files on the control node: the signature beside the
image (IMAGE.minisig) and the public keys to install.  Only their form and
key IDs are read here; the controller's updater checks the signature."""
import binascii
import os
import re

# Longest signature file read (its trusted comment is free text).
SIGNATURE_MAX = 4096
# ... and public key file.
KEY_MAX = 2048
# Most key files a controller reads (it refuses every image with more).
KEYS_MAX = 16


def signature_file(image_path):
    return image_path + ".minisig"


def base64_line(line, size, what):
    """Bytes of one base64 line of a minisign file, of SIZE bytes."""
    try:
        raw = binascii.a2b_base64(line.encode("ascii"), strict_mode=True)
    except (ValueError, UnicodeEncodeError):
        raw = b""
    if len(raw) != size:
        raise ValueError("%s is not base64 of %d bytes" % (what, size))
    return raw


def key_id(raw):
    return "%016X" % int.from_bytes(raw[2:10], "little")


def read_signer(image_path):
    """The key ID that signed the image (its IMAGE.minisig beside it), or
    "unsigned"; (signer, None) or (None, why the signature is unusable)."""
    path = signature_file(image_path)
    try:
        with open(path, "rb") as f:
            text = f.read(SIGNATURE_MAX + 1)
    except FileNotFoundError:
        return "unsigned", None
    except OSError as e:
        return None, "%s: %s" % (os.path.basename(path), e.strerror)
    try:
        if len(text) > SIGNATURE_MAX:
            raise ValueError("longer than %d bytes" % SIGNATURE_MAX)
        lines = text.decode("utf-8").split("\n")
        if len(lines) < 4 or not lines[0].startswith("untrusted comment:") or \
                not lines[2].startswith("trusted comment: "):
            raise ValueError("not the four lines of a minisign signature")
        raw = base64_line(lines[1], 74, "its signature line")
        if raw[:2] not in (b"ED", b"Ed"):
            raise ValueError("unknown algorithm")
        base64_line(lines[3], 64, "its global signature")
    except (ValueError, UnicodeDecodeError) as e:
        return None, "%s is not a minisign signature: %s" % (os.path.basename(path), e)
    return key_id(raw), None


def read_key(path):
    """A minisign public key file to install: (its key ID, None) or (None, why not)."""
    name = os.path.basename(path)
    if not re.match(r"^[A-Za-z0-9_][A-Za-z0-9._-]*\.pub$", name):
        return None, "%s: a key's file name is letters, digits, . _ - and ends in .pub" % name
    try:
        with open(path, "rb") as f:
            text = f.read(KEY_MAX + 1)
        if len(text) > KEY_MAX:
            raise ValueError("longer than %d bytes" % KEY_MAX)
        lines = text.decode("utf-8").split("\n")
        if len(lines) < 2 or not lines[0].startswith("untrusted comment:"):
            raise ValueError("not the two lines of a minisign public key")
        raw = base64_line(lines[1], 42, "its key line")
        if raw[:2] != b"Ed":
            raise ValueError("unknown algorithm")
    except OSError as e:
        return None, "%s: %s" % (path, e.strerror)
    except (ValueError, UnicodeDecodeError) as e:
        return None, "%s is not a minisign public key: %s" % (path, e)
    return key_id(raw), None


def key_line_id(line):
    """The key ID of a public key's second line (as a controller holds it), or None."""
    try:
        raw = base64_line(line, 42, "key line")
    except ValueError:
        return None
    return key_id(raw) if raw[:2] == b"Ed" else None
