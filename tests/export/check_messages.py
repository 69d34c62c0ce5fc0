#!/usr/bin/env python3
"""Parses exported messages strictly and prints what they hold, as JSON.

usage: check_messages.py eml|mbox EXPECTED FILE...

eml: each FILE is one message; mbox: each FILE an mboxrd mailbox, split
back into its messages. EXPECTED is a JSON list of what the messages hold,
as the item reader sees them: subject, from, to, cc, date (Unix seconds),
text, attachments (size and SHA-256), embedded messages. Every message
must parse without defects (header defects included: a message id out of
its syntax is expected as X-Original-Message-ID instead) and match one
expected message. Prints each mismatch; exits 1 when there is one."""
import email
import email.policy
import hashlib
import json
import re
import sys

HEADER_NAMES = ("subject", "from", "to", "cc", "bcc", "date", "message-id")


def parts_of(msg):
    """The message's own parts, not those of messages attached to it."""
    yield msg
    if msg.get_content_maintype() == "multipart":
        for part in msg.iter_parts():
            yield from parts_of(part)


def defects_of(msg):
    found = []
    for part in parts_of(msg):
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
        # As written: the parsed form of an invalid id is not the id.
        "message_id": next((v for k, v in msg.raw_items() if k.lower() == "message-id"), "").strip(),
        "original_message_id": next((v for k, v in msg.raw_items() if k.lower() == "x-original-message-id"),
                                    "").strip(),
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


def norm_text(t):
    if t is None:
        return ""
    return t.replace("\r\n", "\n").rstrip()


def valid_id(value):
    h = email.message_from_string("Message-ID: %s\n\n" % value, policy=email.policy.default)["message-id"]
    return h is not None and not h.defects


def from_headers(exp):
    """The expectation where the item kept its original header block: the
    message carries those headers."""
    if not exp.get("headers"):
        return exp
    block = exp["headers"].replace("\r\n", "\n").rstrip("\n") + "\n\n"
    h = email.message_from_string(block, policy=email.policy.default)
    exp = dict(exp)

    def parsed(name):
        """The stored header, when it parses without defects (one that does
        not is written again from the properties)."""
        value = h[name]
        return value if value is not None and not value.defects else None

    if parsed("subject") is not None:
        exp["subject"] = str(h["subject"])
    if parsed("from") is not None and h["from"].addresses:
        exp["from"] = h["from"].addresses[0].addr_spec
    for name in ("to", "cc"):
        if parsed(name) is not None:
            exp[name] = [a.addr_spec for a in h[name].addresses]
    if parsed("date") is not None and h["date"].datetime:
        exp["date"] = h["date"].datetime.timestamp()
    raw_id = next((v for k, v in h.raw_items() if k.lower() == "message-id"), None)
    if raw_id is not None:
        exp["message_id"] = raw_id.strip()
    return exp


def mismatches(got, exp):
    """What differs between a parsed message and an expected one (already
    taken through from_headers)."""
    out = []
    if got["defects"]:
        out.append("defects %s" % got["defects"])
    gid = got["message_id"].strip()
    eid = exp.get("message_id", "").strip()
    # An id out of its syntax (Outlook wrote some with two "@") is kept only
    # beside, as X-Original-Message-ID.
    if eid and not valid_id(eid):
        if (gid and not valid_id(gid)) or got["original_message_id"].strip("<>") != eid.strip("<>"):
            out.append("invalid id %r: written %r, kept %r" % (eid, gid, got["original_message_id"]))
    elif gid.strip("<>") != eid.strip("<>"):
        out.append("message id %r != %r" % (gid, exp.get("message_id", "")))
    # Leading blanks are the header's separator; trailing ones are kept.
    if got["subject"].lstrip() != exp["subject"].lstrip():
        out.append("subject %r != %r" % (got["subject"], exp["subject"]))
    got_from = got["from"][0]["address"] if got["from"] else ""
    if got_from != exp["from"]:
        out.append("from %r != %r" % (got_from, exp["from"]))
    for name in ("to", "cc"):
        if sorted(a["address"] for a in got[name]) != sorted(exp[name]):
            out.append("%s %s != %s" % (name, [a["address"] for a in got[name]], exp[name]))
    if exp["date"] is not None:
        import datetime
        got_date = datetime.datetime.fromisoformat(got["date"]).timestamp() if got["date"] else None
        if got_date != exp["date"]:
            out.append("date %s != %s" % (got_date, exp["date"]))
    if norm_text(got["text"]) != norm_text(exp["text"]):
        out.append("text differs: %r... != %r..." % (norm_text(got["text"])[:60], norm_text(exp["text"])[:60]))
    if (got["html"] is not None) != exp["html"]:
        out.append("html present %s != %s" % (got["html"] is not None, exp["html"]))
    got_att = sorted((a["size"], a["sha256"]) for a in got["attachments"])
    exp_att = sorted((a["size"], a["sha256"]) for a in exp["attachments"])
    if got_att != exp_att:
        out.append("attachments %s != %s" % (got_att, exp_att))
    if len(got["messages"]) != len(exp["messages"]):
        out.append("%d embedded messages != %d" % (len(got["messages"]), len(exp["messages"])))
    else:
        for g, e in zip(got["messages"], exp["messages"]):
            out += ["embedded: " + m for m in mismatches(g, from_headers(e))]
    return out


def main():
    kind, expected_path, files = sys.argv[1], sys.argv[2], sys.argv[3:]
    with open(expected_path, encoding="utf-8") as f:
        expected = json.load(f)
    parsed = []
    for path in files:
        with open(path, "rb") as f:
            data = f.read()
        raw_messages = [data] if kind == "eml" else split_mboxrd(data)
        for raw in raw_messages:
            d = describe(email.message_from_bytes(raw, policy=email.policy.default))
            d["file"] = path
            parsed.append(d)
    problems = []
    if len(parsed) != len(expected):
        problems.append("%d messages, %d expected" % (len(parsed), len(expected)))
    # Candidates by subject: each message is matched to an unused expected
    # one with its subject that it matches fully, else reported against the
    # closest.
    by_subject = {}
    for e in expected:
        e = from_headers(e)
        by_subject.setdefault(e["subject"].strip(), []).append(e)
    for got in parsed:
        candidates = by_subject.get(got["subject"].strip(), [])
        best = None
        for i, e in enumerate(candidates):
            diff = mismatches(got, e)
            if best is None or len(diff) < len(best[1]):
                best = (i, diff)
            if not diff:
                break
        if best is None:
            problems.append("%s: no expected message with subject %r" % (got["file"], got["subject"]))
            continue
        if best[1]:
            problems.append("%s: %s" % (got["file"], "; ".join(best[1])))
        del candidates[best[0]]
    for p in problems:
        print(p)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
