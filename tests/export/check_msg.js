// Reads written .msg files with @kenjiuno/msgreader and compares them with
// what the item reader read: subject, recipient count, attachments byte for
// byte (by SHA-256).
//
// usage: node check_msg.js MODULE_DIR EXPECTED
'use strict';
const fs = require('fs');
const path = require('path');
const crypto = require('crypto');
const MsgReader = require(path.join(process.argv[2], '@kenjiuno/msgreader')).default;

const expected = JSON.parse(fs.readFileSync(process.argv[3], 'utf8'));
const faults = [];
const squeeze = (s) => (s || '').split(/\s+/).filter(Boolean).join(' ');
for (const exp of expected) {
  let reader, info;
  try {
    reader = new MsgReader(fs.readFileSync(exp.path));
    info = reader.getFileData();
  } catch (e) {
    faults.push(`${exp.path}: cannot be read: ${e}`);
    continue;
  }
  if (info.error) {
    faults.push(`${exp.path}: ${info.error}`);
    continue;
  }
  if (squeeze(info.subject) !== squeeze(exp.subject)) faults.push(`${exp.path}: subject ${info.subject}`);
  if ((info.recipients || []).length !== exp.recipients) {
    faults.push(`${exp.path}: ${(info.recipients || []).length} recipients, expected ${exp.recipients}`);
  }
  const digests = new Set();
  for (const a of info.attachments || []) {
    if (a.innerMsgContent) continue;
    const got = reader.getAttachment(a);
    digests.add(crypto.createHash('sha256').update(got.content).digest('hex'));
  }
  for (const d of exp.attachments) {
    if (!digests.has(d)) faults.push(`${exp.path}: attachment ${d.slice(0, 12)} missing`);
  }
}
console.log(`checked ${expected.length} files with @kenjiuno/msgreader`);
for (const f of faults) console.log(f);
process.exit(faults.length ? 1 : 0);
