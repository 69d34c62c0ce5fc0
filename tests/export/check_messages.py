#!/usr/bin/env python3
"""Parses exported messages strictly and prints what they hold, as JSON.

usage: check_messages.py eml FILE...   each file one message
       check_messages.py mbox FILE...  each file an mboxrd mailbox

For every message: its defects (the parser's, and those of every header),
subject, addresses, date, plain text, HTML, and every attachment with its
size and SHA-256, embedded messages included (depth first)."""
import email
import email.policy
import hashlib
import json
import re
import sys

HEADER_NAMES = ("subject", "from", "to", "cc", "bcc", "date", "message-id")


def defects_of(msg):
    found = []
    for part in msg.walk():
        found += [type(d).__name__ for d in part.defects]
        for name in part.keys():
            try:
                header = part[name]
            except Exception as e:  # a header that cannot be parsed at all
                found.append("header %s: %s" % (name, e))
                continue
            found += ["%s: %s" % (name, type(d).__name__) for d in getattr(header, "defects", ())]
    return found


def addresses(msg, name):
    header = msg[name]
    if header is None:
        return []
    return [{"name": a.display_name, "address": a.addr_spec} for a in header.addresses]


def describe(msg):
    out = {
        "defects": defects_of(msg),
        "subject": str(msg["subject"] or ""),
        "date": msg["date"].datetime.isoformat() if msg["date"] is not None and msg["date"].datetime else "",
        "message_id": str(msg["message-id"] or ""),
        "text": None,
        "html": None,
        "attachments": [],
        "messages": [],
    }
    for name in ("from", "to", "cc", "bcc"):
        out[name] = addresses(msg, name)
    body = msg.get_body(preferencelist=("plain",))
    if body is not None:
        out["text"] = body.get_content()
    html = msg.get_body(preferencelist=("html",))
    if html is not None:
        out["html"] = html.get_content()
    for part in msg.iter_attachments():
        if part.get_content_type() == "message/rfc822":
            out["messages"].append(describe(part.get_content()))
            continue
        data = part.get_payload(decode=True) or b""
        out["attachments"].append({
            "filename": part.get_filename() or "",
            "type": part.get_content_type(),
            "size": len(data),
            "sha256": hashlib.sha256(data).hexdigest(),
            "content_id": str(part["content-id"] or ""),
        })
    # Inline parts inside multipart/related are not attachments to
    # iter_attachments: list them too.
    for part in msg.walk():
        if part.get("content-id") and part.get_content_maintype() != "multipart" and \
                not any(a["content_id"] == str(part["content-id"]) for a in out["attachments"]) and \
                part.get_content_type() not in ("text/plain", "text/html"):
            data = part.get_payload(decode=True) or b""
            out["attachments"].append({
                "filename": part.get_filename() or "",
                "type": part.get_content_type(),
                "size": len(data),
                "sha256": hashlib.sha256(data).hexdigest(),
                "content_id": str(part["content-id"] or ""),
            })
    return out


def split_mboxrd(data):
    messages, current = [], None
    for line in data.split(b"\n")[:-1] if data.endswith(b"\n") else data.split(b"\n"):
        if line.startswith(b"From "):
            if current is not None:
                messages.append(current)
            current = []
            continue
        if current is None:
            raise ValueError("mbox does not start with a From line")
        if re.match(rb">+From ", line):
            line = line[1:]
        current.append(line)
    if current is not None:
        messages.append(current)
    # Each message is followed by one blank line that is not its own.
    out = []
    for lines in messages:
        if not lines or lines[-1] != b"":
            raise ValueError("message not followed by a blank line")
        out.append(b"\n".join(lines[:-1]) + b"\n")
    return out


def main():
    kind, files = sys.argv[1], sys.argv[2:]
    result = []
    for path in files:
        with open(path, "rb") as f:
            data = f.read()
        raw_messages = [data] if kind == "eml" else split_mboxrd(data)
        for raw in raw_messages:
            msg = email.message_from_bytes(raw, policy=email.policy.default)
            d = describe(msg)
            d["file"] = path
            d["raw_sha256"] = hashlib.sha256(raw.replace(b"\r\n", b"\n")).hexdigest()
            result.append(d)
    json.dump(result, sys.stdout, ensure_ascii=False)


if __name__ == "__main__":
    main()
