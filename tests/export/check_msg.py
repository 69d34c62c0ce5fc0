#!/usr/bin/env python3
"""Reads written .msg files with two independent readers and compares them
with what the item reader read.

usage: check_msg.py EXPECTED

EXPECTED is a JSON list, one object per file: path, subject, from, to, cc
(Internet addresses), recipients (count), text (plain body or null),
attachments (SHA-256 of each attachment's bytes), storages (the names every
message storage must hold). olefile (when importable) checks the storage
tree and that every property stream's sizes match its streams; msgconvert
(when present) turns each file into a message that Python's email package
must parse with the item's subject, sender, recipients, body and
attachments. Prints each mismatch; exits 1 when there is one."""
import email
import email.policy
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile

try:
    import olefile
except ImportError:
    olefile = None

FIXED = {0x2, 0x3, 0x4, 0x5, 0x6, 0x7, 0xA, 0xB, 0x14, 0x40}


def check_tree(path, exp, faults):
    ole = olefile.OleFileIO(path)
    entries = ["/".join(e) for e in ole.listdir(streams=True, storages=True)]
    for name in exp["storages"]:
        if name not in entries:
            faults.append("%s: no %s" % (path, name))
    for e in entries:
        if not e.endswith("__properties_version1.0"):
            continue
        parent = e[: -len("__properties_version1.0")]
        depth = parent.count("/")
        last = parent.rstrip("/").split("/")[-1] if parent else ""
        header = 32 if not parent else 24 if last.endswith("3701000D") else 8
        data = ole.openstream(e).read()
        if (len(data) - header) % 16:
            faults.append("%s: %s has a partial record" % (path, e))
        for at in range(header, len(data) - 15, 16):
            tag = int.from_bytes(data[at : at + 4], "little")
            size = int.from_bytes(data[at + 8 : at + 12], "little")
            ptype = tag & 0xFFFF
            if ptype in FIXED or ptype == 0xD:
                continue
            stream = "%s__substg1.0_%08X" % (parent, tag)
            if stream not in entries:
                faults.append("%s: no stream %s" % (path, stream))
                continue
            actual = ole.get_size(stream)
            expected = actual + 2 if ptype == 0x1F else actual + 1 if ptype == 0x1E else actual
            if size != expected:
                faults.append("%s: %s says %d bytes, its stream holds %d" % (path, stream, size, actual))
        del depth
    ole.close()


def leaves(msg):
    for part in msg.walk():
        if part.get_content_maintype() == "multipart" or part.get_content_type() == "message/rfc822":
            continue
        yield part


def squeeze(text):
    return " ".join((text or "").split())


def convert(paths, work):
    """msgconvert writes NAME.eml into its working folder for each NAME.msg."""
    for i in range(0, len(paths), 200):
        subprocess.run(["msgconvert"] + paths[i : i + 200], cwd=work, capture_output=True)


def check_converted(path, exp, faults, work):
    out = os.path.join(work, os.path.splitext(os.path.basename(path))[0] + ".eml")
    if not os.path.exists(out):
        faults.append("%s: msgconvert wrote nothing" % path)
        return
    with open(out, "rb") as f:
        msg = email.message_from_binary_file(f, policy=email.policy.default)
    if squeeze(str(msg["subject"] or "")) != squeeze(exp["subject"]):
        faults.append("%s: subject %r, expected %r" % (path, str(msg["subject"]), exp["subject"]))
    found = set()
    for name in ("from", "to", "cc"):
        header = msg[name]
        for a in (header.addresses if header is not None else ()):
            found.add(a.addr_spec.lower())
    if exp["from"] and exp["from"].lower() not in found:
        faults.append("%s: sender %s missing (%s)" % (path, exp["from"], msg["from"]))
    for a in exp["to"] + exp["cc"]:
        if a.lower() not in found:
            faults.append("%s: recipient %s missing" % (path, a))
    digests = set()
    texts = []
    for part in leaves(msg):
        payload = part.get_payload(decode=True) or b""
        digests.add(hashlib.sha256(payload).hexdigest())
        if part.get_content_type() == "text/plain" and part.get_filename() is None:
            texts.append(part.get_content())
    for d in exp["attachments"]:
        if d not in digests:
            faults.append("%s: attachment %s missing" % (path, d[:12]))
    if exp["text"] is not None and squeeze(exp["text"]) and squeeze(exp["text"]) not in [squeeze(t) for t in texts]:
        faults.append("%s: body differs: %r" % (path, [t[:80] for t in texts]))


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        expected = json.load(f)
    faults = []
    work = tempfile.mkdtemp()
    ran = []
    if olefile is not None:
        ran.append("olefile")
    if shutil.which("msgconvert"):
        ran.append("msgconvert")
    try:
        if "msgconvert" in ran:
            convert([os.path.abspath(e["path"]) for e in expected], work)
        for exp in expected:
            if olefile is not None:
                check_tree(exp["path"], exp, faults)
            if shutil.which("msgconvert"):
                check_converted(exp["path"], exp, faults, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("checked %d files with %s" % (len(expected), ", ".join(ran) or "nothing"))
    for fault in faults:
        print(fault)
    sys.exit(1 if faults else 0)


main()
