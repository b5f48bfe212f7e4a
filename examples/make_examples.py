#!/usr/bin/python3
"""Generate the sample logs in examples/.

Writes, next to this script:

  transactions.log  6 signed transaction records, sequence number in item 7
                    of the data field; signed by a secp256r1 device key,
                    except record 4 which is signed by an RSA-2048 key.
  events.log        6 signed event records, sequence number in item 1 of
                    the data field; numbers 1,2,3,5,6,7 (4 is missing) and
                    record 5 was edited after signing, so its signature
                    does not verify.
  signers.pem       the public keys of the three signers, as
                    `openssl pkey -pubout` writes them, for --trusted-keys.
  private/          the private keys used for the samples (example keys
                    only, never use them for anything else).

Each log line is KEYFIELD,DATAFIELD,SIGHEX: the base64 DER public key, the
signed text, and the lower-case hex signature over SHA-256(DATAFIELD).

Rerun from the repository root with:

    python3 examples/make_examples.py

Keys and signatures come from the `openssl` command line tool (OpenSSL 3).
Existing keys in private/ are reused and existing lines are kept while their
signatures still check out, so a rerun leaves the logs unchanged.
"""

import base64
import os
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
PRIVATE = HERE / "private"
OPENSSL = os.environ.get("OPENSSL", "openssl")

KEYS = {
    "tx-device-p256": ["-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                       "-pkeyopt", "ec_param_enc:named_curve"],
    "tx-backoffice-rsa2048": ["-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                              "-pkeyopt", "rsa_keygen_pubexp:65537"],
    "ev-sensor-p256": ["-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                       "-pkeyopt", "ec_param_enc:named_curve"],
}

# (key, signed data, data written to the log)
TRANSACTIONS = [
    ("tx-device-p256", "2026-12-01T10:00:00Z/TX/4711/EUR/12.50/acct-17/terminal-3/1", None),
    ("tx-device-p256", "2026-12-01T10:03:12Z/TX/4712/EUR/3.20/acct-42/terminal-3/2", None),
    ("tx-device-p256", "2026-12-01T10:07:45Z/TX/4713/EUR/149.99/acct-17/terminal-3/3", None),
    ("tx-backoffice-rsa2048", "2026-12-01T10:15:00Z/RF/4714/EUR/-12.50/acct-17/backoffice-1/4", None),
    ("tx-device-p256", "2026-12-01T10:21:30Z/TX/4715/EUR/7.80/acct-08/terminal-3/5", None),
    ("tx-device-p256", "2026-12-01T10:26:04Z/TX/4716/EUR/64.00/acct-42/terminal-3/6", None),
]

EVENTS = [
    ("ev-sensor-p256", "door-open/1/2026-12-01T08:00:00Z/site-A", None),
    ("ev-sensor-p256", "door-close/2/2026-12-01T08:00:09Z/site-A", None),
    ("ev-sensor-p256", "door-open/3/2026-12-01T08:12:47Z/site-A", None),
    # 4 is missing
    ("ev-sensor-p256", "alarm-armed/5/2026-12-01T18:30:00Z/site-A",
     "alarm-armed/5/2026-12-01T19:30:00Z/site-A"),  # time edited after signing
    ("ev-sensor-p256", "door-open/6/2026-12-02T07:58:21Z/site-A", None),
    ("ev-sensor-p256", "door-close/7/2026-12-02T07:58:30Z/site-A", None),
]


def openssl(*args, data=None, check=True):
    proc = subprocess.run([OPENSSL, *args], input=data,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if check and proc.returncode != 0:
        sys.exit("openssl %s failed:\n%s" % (" ".join(args),
                                              proc.stderr.decode(errors="replace")))
    return proc


def ensure_private_key(name):
    path = PRIVATE / (name + ".pem")
    if not path.exists():
        PRIVATE.mkdir(parents=True, exist_ok=True)
        tmp = path.with_suffix(".pem.tmp")
        openssl("genpkey", *KEYS[name], "-out", str(tmp))
        tmp.replace(path)
    return path


def verify(spki, data, sig, tmpdir):
    key = Path(tmpdir) / "key.der"
    sigf = Path(tmpdir) / "sig.bin"
    key.write_bytes(spki)
    sigf.write_bytes(sig)
    proc = openssl("dgst", "-sha256", "-verify", str(key), "-keyform", "DER",
                   "-signature", str(sigf), data=data.encode("ascii"), check=False)
    return proc.returncode == 0 and proc.stdout.strip() == b"Verified OK"


def write_log(path, records, privs, spkis, tmpdir):
    old = {}
    if path.exists():
        for line in path.read_text(encoding="ascii").splitlines():
            keyfield, data, sighex = line.split(",")
            old[(keyfield, data)] = sighex
    out = []
    for key, signed, written in records:
        written = written or signed
        assert "," not in written and all(0x20 <= ord(c) < 0x7F for c in written)
        keyfield = base64.b64encode(spkis[key]).decode("ascii")
        sighex = old.get((keyfield, written))
        if sighex is None or not verify(spkis[key], signed, bytes.fromhex(sighex), tmpdir):
            sighex = openssl("dgst", "-sha256", "-sign", str(privs[key]),
                             data=signed.encode("ascii")).stdout.hex()
        out.append("%s,%s,%s\n" % (keyfield, written, sighex))
    with open(path, "w", encoding="ascii", newline="\n") as f:
        f.writelines(out)

    # Read back and check: untouched lines verify, edited lines do not.
    for line, (key, signed, written) in zip(
            path.read_text(encoding="ascii").splitlines(), records):
        keyfield, data, sighex = line.split(",")
        spki = base64.b64decode(keyfield, validate=True)
        ok = verify(spki, data, bytes.fromhex(sighex), tmpdir)
        if written is None:
            assert ok, "signature does not verify: %s" % data
        else:
            assert not ok, "edited line still verifies: %s" % data
            assert verify(spki, signed, bytes.fromhex(sighex), tmpdir)
    return len(out)


def main():
    privs = {name: ensure_private_key(name) for name in KEYS}
    spkis = {name: openssl("pkey", "-in", str(p), "-pubout", "-outform", "DER").stdout
             for name, p in privs.items()}
    with tempfile.TemporaryDirectory() as tmp:
        for fname, records in (("transactions.log", TRANSACTIONS), ("events.log", EVENTS)):
            n = write_log(HERE / fname, records, privs, spkis, tmp)
            print("wrote %s: %d lines" % (os.path.relpath(HERE / fname, Path.cwd()), n))
    signers = "".join("# %s\n%s" % (name, openssl("pkey", "-in", str(privs[name]), "-pubout").stdout.decode())
                      for name in KEYS)
    (HERE / "signers.pem").write_text(signers)
    print("keys in %s: %s" % (os.path.relpath(PRIVATE, Path.cwd()), ", ".join(sorted(KEYS))))


if __name__ == "__main__":
    main()
