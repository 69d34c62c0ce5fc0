// Walks a personal-folders file with the pst-extractor package: prints one
// line per folder (its path and item count) and per item (its subject and
// the sizes of its attachments). Exits 1 when the file cannot be walked.
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

try {
  const file = new PSTFile(process.argv[3]);
  const out = [];
  walk(file.getRootFolder(), '', out);
  console.log(out.join('\n'));
} catch (e) {
  console.error(String(e && e.stack || e));
  process.exit(1);
}
