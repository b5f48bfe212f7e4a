#!/usr/bin/python3
"""Write the seed corpora of the fuzz targets from the test fixtures.

    python3 fuzz/make_seeds.py [TOOL]

fuzz/corpus/run/        whole logs of both kinds: lines of every key kind,
                        explicit domains, tampered and broken lines, gaps
fuzz/corpus/line_rules/ single lines and field texts
fuzz/corpus/key/        a DER key (length-prefixed) and a signature, for
                        every fixture key; raw key texts too
fuzz/corpus/decompress/ the example logs compressed by gzip, xz, zstd and
                        bzip2 (members in a row, cut short, empty, padded),
                        each behind the byte that picks the format and the
                        chunk sizes
fuzz/corpus/checkpoint/ checkpoint files as the built tool (TOOL, by default
                        build/tamberlo_orvel_verify) writes them after runs
                        over the example logs: both kinds, trusted keys,
                        a log grown and rotated, a log of several pieces;
                        left as they are when there is no built tool

The seeds are made from tests/fixtures (OpenSSL-made keys and signatures)
and examples/ only, compressed by the formats' own command-line tools. Files
are named by their content, so a rerun rewrites the seeds and keeps the
inputs that fuzzing runs added beside them (merged with -merge=1).
"""

import base64
import hashlib
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FIXTURES = ROOT / "tests" / "fixtures"
CORPUS = ROOT / "fuzz" / "corpus"
DATA = "tx/0/1/2/3/4/5/1"
# The format numbers of fuzz_decompress.cpp's selector byte, and the tools.
COMPRESSORS = {1: ["gzip", "-c", "-n"], 2: ["xz", "-c"], 3: ["zstd", "-q", "-c"],
               4: ["bzip2", "-c", "-1"]}


def load():
    keys = {}
    for row in (FIXTURES / "keys.txt").read_text().splitlines():
        name, field = row.split(" ", 1)
        keys[name] = field
    signatures = {}
    for row in (FIXTURES / "signed.txt").read_text().splitlines():
        name, data, sig = row.split("\t")
        signatures[(name, data)] = sig
    return keys, signatures


def signer_of(name):
    for prefix in ("explicit_G04_", "explicit_G02_", "compressed_", "ecdh_", "named_"):
        if name.startswith(prefix):
            return name[len(prefix):]
    return name


def write(directory, content):
    directory.mkdir(parents=True, exist_ok=True)
    digest = hashlib.sha1(content).hexdigest()[:16]
    (directory / digest).write_bytes(content)


def compress(command, data):
    return subprocess.run(command, input=data, stdout=subprocess.PIPE, check=True).stdout


def selector(format_number, in_choice, out_choice):
    """The first byte of a decompress input: format, input and output chunk."""
    return bytes([format_number + 5 * in_choice + 20 * out_choice])


def write_compressed():
    directory = CORPUS / "decompress"
    transactions = (ROOT / "examples" / "transactions.log").read_bytes()
    events = (ROOT / "examples" / "events.log").read_bytes()
    for number, command in COMPRESSORS.items():
        one = compress(command, transactions)
        write(directory, selector(number, 0, 3) + one)
        write(directory, selector(number, 1, 1) + one + compress(command, events))
        write(directory, selector(number, 3, 0) + one[:len(one) // 2])
        write(directory, selector(number, 2, 2) + compress(command, b""))
    write(directory, selector(2, 1, 2) + compress(COMPRESSORS[2], events) + bytes(4))
    skippable = bytes([0x50, 0x2a, 0x4d, 0x18, 3, 0, 0, 0]) + b"abc"
    write(directory, selector(3, 1, 2) + skippable + compress(COMPRESSORS[3], events))
    # The start of a frame of zstd's old format, cut short: alone, as
    # fuzzing found it, and after a frame.
    old_frame = bytes([0x26, 0xb5, 0x2f, 0xfd, 0x59, 0x54, 0xff, 0xff, 0xff])
    write(directory, selector(3, 1, 2) + old_frame)
    write(directory, selector(3, 1, 2) + compress(COMPRESSORS[3], events) + old_frame)
    write(directory, selector(0, 2, 1) + events)


def write_checkpoints(tool):
    """Each list of runs in a scratch directory of its own, with the logs
    and arguments of each run; the checkpoint the last run left is a seed.
    The logs are named relative to the directory, so that the checkpoint's
    bytes do not depend on where it was."""
    transactions = (ROOT / "examples" / "transactions.log").read_bytes()
    events = (ROOT / "examples" / "events.log").read_bytes()
    lines = transactions.splitlines(keepends=True)
    signers = "--trusted-keys=" + str(ROOT / "examples" / "signers.pem")
    # More than one 1 MiB piece, its last line without a line end.
    long_log = (transactions * 900).rstrip(b"\n")
    scenarios = [
        [({"tx.log": transactions}, ["tx.log"])],
        [({"ev.log": events}, ["--event", "ev.log"])],
        [({"tx.log": transactions}, ["--strict", signers, "tx.log"])],
        # Grown, rotated, then the rotated log no longer given (retired).
        [({"tx.log": b"".join(lines[:3])}, ["tx.log"]),
         ({"tx.log.1": b"".join(lines[:3]), "tx.log": b"".join(lines[3:])},
          ["tx.log.1", "tx.log"]),
         ({}, ["tx.log"])],
        [({"long.log": long_log}, ["long.log"])],
    ]
    for runs in scenarios:
        with tempfile.TemporaryDirectory() as scratch:
            work = Path(scratch)
            for files, args in runs:
                for name, content in files.items():
                    (work / name).write_bytes(content)
                subprocess.run([str(tool), "--quiet", "--checkpoint=checkpoint"] + args,
                               cwd=work, stdout=subprocess.DEVNULL, check=False)
            write(CORPUS / "checkpoint", (work / "checkpoint").read_bytes())


def main():
    tool = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "build" / "tamberlo_orvel_verify"
    keys, signatures = load()

    def line(name, data):
        return "%s,%s,%s" % (keys[name], data, signatures.get((signer_of(name), data), "00"))

    # Whole logs.
    names = sorted(keys)
    for name in names:
        write(CORPUS / "run", (line(name, DATA) + "\n").encode())
    tx = ["tx/0/1/2/3/4/5/%d" % n for n in (3, 6, 5, 5, 799999, 800000, 0)]
    write(CORPUS / "run", "".join(line("secp256r1", d) + "\r\n" for d in tx).encode())
    write(CORPUS / "run", "".join(line("rsa2048", d) + "\n" for d in tx).encode())
    ev = ["ev/%d/x" % n for n in (1, 2, 4, 4, 7)]
    write(CORPUS / "run", "".join(line("secp256r1", d) + "\n" for d in ev).encode())
    write(CORPUS / "run", b",,,,\n  \n" + line("secp256r1", tx[0]).encode()[:-3] + b"\n")
    for example in sorted((ROOT / "examples").glob("*.log")):
        write(CORPUS / "run", example.read_bytes())

    # Single lines and fields.
    for text in (line("secp256r1", DATA), "  a,,b ,\tc , d\r\n", "a//b/c/d/e/f/ 0012/x",
                 "ev/-5/x", "30 45 0g -1 +f 0x", ",,,,", "\x00,\x80\xff,zz"):
        write(CORPUS / "line_rules", text.encode("latin-1"))

    # Keys with a signature after them.
    for name in names:
        der = base64.b64decode(keys[name])
        sig = bytes.fromhex(signatures.get((signer_of(name), DATA), "3006020101020101"))
        write(CORPUS / "key", bytes([0, len(der) >> 8, len(der) & 255]) + der + sig)
    for text in ("AAAA", "MFkw!EwYH", keys["secp256r1"] + "   ", keys["rsa1024"] + "\t"):
        raw = text.encode()
        write(CORPUS / "key", bytes([1, len(raw) >> 8, len(raw) & 255]) + raw)
    write_compressed()
    if tool.is_file():
        write_checkpoints(tool.resolve())
    else:
        print("no built tool at %s: the checkpoint seeds are left as they are" % tool)
    for sub in ("run", "line_rules", "key", "decompress", "checkpoint"):
        print(sub, len(list((CORPUS / sub).iterdir())), "inputs")


if __name__ == "__main__":
    main()
