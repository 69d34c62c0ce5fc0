// Walks personal-folders files with the pst-extractor package. For each
// file it prints a "file" line, then one line per folder (its path and item
// count) and per item (its subject and, per attachment, the bytes of its data
// or "msg" for an embedded message). A file that cannot be walked gets an
// "error" line; the exit status is then 1.
const path = require('path');
const { PSTFile } = require(path.join(process.argv[2], 'node_modules', 'pst-extractor'));

function walk(folder, prefix, out) {
  const name = prefix + '\\' + folder.displayName;
  let items = 0;
  const lines = [];
  if (folder.contentCount > 0) {
    for (let m = folder.getNextChild(); m; m = folder.getNextChild()) {
      items++;
      const sizes = [];
      for (let i = 0; i < m.numberOfAttachments; i++) {
        const a = m.getAttachment(i);
        if (a.attachMethod === 5) {
          sizes.push('msg');
          continue;
        }
        let size = 0;
        const stream = a.fileInputStream;
        if (stream) {
          const buffer = Buffer.alloc(8176);
          for (let n = stream.read(buffer); n > 0; n = stream.read(buffer)) size += n;
        }
        sizes.push(size);
      }
      lines.push('item\t' + name + '\t' + m.subject + '\t' + sizes.join(','));
    }
  }
  out.push('folder\t' + name + '\t' + items);
  out.push(...lines);
  if (folder.hasSubfolders) {
    for (const child of folder.getSubFolders()) walk(child, name, out);
  }
}

let status = 0;
for (const file of process.argv.slice(3)) {
  try {
    const out = ['file\t' + file];
    walk(new PSTFile(file).getRootFolder(), '', out);
    console.log(out.join('\n'));
  } catch (e) {
    console.log('error\t' + file + '\t' + String(e && e.stack || e).replace(/\n/g, ' | '));
    status = 1;
  }
}
process.exit(status);
