#!/usr/bin/python3
"""Generate the signed transaction logs the benchmark runs on.

Shapes (N lines each; every line verifies and the sequence numbers run
1..N without a gap, so a run of the tool is clean):

  p256-one     one secp256r1 key on every line
  p256-many    1,000 secp256r1 keys used in turn (line i uses key i mod 1000)
  rsa2048-one  one RSA-2048 key (PKCS#1 v1.5)
  mixed        secp256r1, secp384r1, secp256k1, brainpoolP256r1 and RSA-2048
               keys in turn
  p256-one-long      one secp256r1 key, 20,000 lines
  p256-many-long     1,000 secp256r1 keys in turn, 20,000 lines (each key
                     signs every 1,000th line, 20 lines in all)
  p256-distinct      a new secp256r1 key on every line, 100,000 lines

Each line is KEYFIELD,DATAFIELD,SIGHEX: base64 of the DER
SubjectPublicKeyInfo, the signed text, and the lower-case hex signature over
SHA-256 of the text. Data fields look like

  2026-12-01T10:00:07Z/TX/104711/EUR/12.50/acct-17/terminal-3/7

with the sequence number as item 7. They are derived from the seed alone, so
two generations with one seed carry the same data fields. Keys and
signatures come from OpenSSL through python3-cryptography (Debian's package,
no pip needed); keys are fresh and ECDSA signatures are randomised, which is
why a log is generated once and then kept in the cache directory:
<cache>/<shape>-n<N>-s<seed>-v1.log is written only when it is missing.

Prints one line per shape on stdout: SHAPE<TAB>LINES<TAB>PATH. Progress goes
to stderr.

    /usr/bin/python3 bench/make_logs.py [--cache DIR] [--seed S]
        [--lines N | --ec-lines N --rsa-lines N] [SHAPE ...]

The three long shapes have their own line counts; --lines sets those too.
"""

import argparse
import base64
import datetime
import os
import random
import sys
import time
from pathlib import Path

try:
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
except ImportError:
    sys.exit("make_logs.py: python3-cryptography is missing (apt-get install python3-cryptography)")

HERE = Path(__file__).resolve().parent
DEFAULT_CACHE = HERE / ".cache"
DEFAULT_SEED = 1
DEFAULT_EC_LINES = 4000
DEFAULT_RSA_LINES = 40000
MANY_KEYS = 1000
# Line counts of the shapes that are not sized by --ec-lines or --rsa-lines.
LONG_LINES = {"p256-one-long": 20000, "p256-many-long": 20000, "p256-distinct": 100000}
# Part of every cache file name: bump it when the line format changes.
FORMAT = "v1"

SHAPES = ("p256-one", "p256-many", "rsa2048-one", "mixed", "p256-one-long", "p256-many-long",
          "p256-distinct")
START = datetime.datetime(2026, 12, 1, 10, 0, 0)


class Signer:
    """A private key and the SPKI key field of its public half."""

    def __init__(self, private_key):
        self.key = private_key
        self.public = private_key.public_key()
        der = self.public.public_bytes(serialization.Encoding.DER,
                                       serialization.PublicFormat.SubjectPublicKeyInfo)
        self.key_field = base64.b64encode(der).decode("ascii")
        self.is_rsa = isinstance(private_key, rsa.RSAPrivateKey)

    def sign(self, data: bytes) -> bytes:
        if self.is_rsa:
            return self.key.sign(data, padding.PKCS1v15(), hashes.SHA256())
        return self.key.sign(data, ec.ECDSA(hashes.SHA256()))

    def verify(self, signature: bytes, data: bytes) -> None:
        if self.is_rsa:
            self.public.verify(signature, data, padding.PKCS1v15(), hashes.SHA256())
        else:
            self.public.verify(signature, data, ec.ECDSA(hashes.SHA256()))


def ec_signer(curve):
    return Signer(ec.generate_private_key(curve))


def rsa_signer():
    return Signer(rsa.generate_private_key(public_exponent=65537, key_size=2048))


def signers_for(shape):
    """The keys a shape cycles through; None for a fresh key on every line."""
    if shape in ("p256-one", "p256-one-long"):
        return [ec_signer(ec.SECP256R1())]
    if shape in ("p256-many", "p256-many-long"):
        return [ec_signer(ec.SECP256R1()) for _ in range(MANY_KEYS)]
    if shape == "p256-distinct":
        return None
    if shape == "rsa2048-one":
        return [rsa_signer()]
    if shape == "mixed":
        return [ec_signer(ec.SECP256R1()), ec_signer(ec.SECP384R1()),
                ec_signer(ec.SECP256K1()), ec_signer(ec.BrainpoolP256R1()), rsa_signer()]
    raise ValueError(shape)


def data_fields(shape, lines, seed):
    """The data fields of a log: a function of shape, line count and seed."""
    rng = random.Random(f"{FORMAT}/{shape}/{seed}")
    moment = START
    for n in range(1, lines + 1):
        moment += datetime.timedelta(seconds=rng.randint(1, 600))
        kind = "RF" if rng.random() < 0.03 else "TX"
        cents = rng.randint(1, 50000)
        amount = f"{'-' if kind == 'RF' else ''}{cents // 100}.{cents % 100:02d}"
        yield (f"{moment:%Y-%m-%dT%H:%M:%SZ}/{kind}/{100000 + n}/EUR/{amount}"
               f"/acct-{rng.randint(1, 500)}/terminal-{rng.randint(1, 40)}/{n}")


def generate(shape, lines, seed, path):
    started = time.monotonic()
    signers = signers_for(shape)
    tmp = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    try:
        with open(tmp, "w", encoding="ascii", newline="\n") as out:
            for i, data in enumerate(data_fields(shape, lines, seed)):
                signer = signers[i % len(signers)] if signers else ec_signer(ec.SECP256R1())
                raw = data.encode("ascii")
                signature = signer.sign(raw)
                # A signature OpenSSL cannot verify itself must not reach a log.
                signer.verify(signature, raw)
                out.write(f"{signer.key_field},{data},{signature.hex()}\n")
        os.replace(tmp, path)
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise
    keys = len(signers) if signers else lines
    print(f"make_logs: generated {path} ({lines} lines, {keys} key(s)) in "
          f"{time.monotonic() - started:.1f} s", file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(description="Generate signed transaction logs for the benchmark.")
    parser.add_argument("shapes", nargs="*", metavar="SHAPE", help=f"any of {', '.join(SHAPES)} (default: all)")
    parser.add_argument("--cache", type=Path, default=DEFAULT_CACHE, help="cache directory (default: bench/.cache)")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED, help=f"seed of the data fields (default {DEFAULT_SEED})")
    parser.add_argument("--lines", type=int, help="lines of every shape (overrides the two below)")
    parser.add_argument("--ec-lines", type=int, default=DEFAULT_EC_LINES,
                        help=f"lines of p256-one, p256-many and mixed (default {DEFAULT_EC_LINES})")
    parser.add_argument("--rsa-lines", type=int, default=DEFAULT_RSA_LINES,
                        help=f"lines of rsa2048-one (default {DEFAULT_RSA_LINES})")
    args = parser.parse_args()

    shapes = args.shapes or list(SHAPES)
    for shape in shapes:
        if shape not in SHAPES:
            parser.error(f"unknown shape {shape!r}; known: {', '.join(SHAPES)}")
    if args.lines is not None:
        args.ec_lines = args.rsa_lines = args.lines
    if min(args.ec_lines, args.rsa_lines) < 1:
        parser.error("a log needs at least one line")

    args.cache.mkdir(parents=True, exist_ok=True)
    for shape in shapes:
        if args.lines is not None:
            lines = args.lines
        elif shape in LONG_LINES:
            lines = LONG_LINES[shape]
        else:
            lines = args.rsa_lines if shape == "rsa2048-one" else args.ec_lines
        path = (args.cache / f"{shape}-n{lines}-s{args.seed}-{FORMAT}.log").resolve()
        if path.exists():
            print(f"make_logs: reusing {path}", file=sys.stderr)
        else:
            generate(shape, lines, args.seed, path)
        print(f"{shape}\t{lines}\t{path}")


if __name__ == "__main__":
    main()
