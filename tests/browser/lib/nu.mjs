// The Nu HTML checker over rendered dossiers, and the split of its errors into those
// the record's data brings and those of the document frame every dossier shares.
import { execFileSync } from 'node:child_process';
import { pathToFileURL } from 'node:url';

// Checks every file in one JVM start; returns a map from file to its messages.
export function runNu(java, jar, files) {
  let out;
  try {
    out = execFileSync(java, ['-jar', jar, '--format', 'json', '--stdout', '--exit-zero-always',
      '--also-check-css', '--also-check-svg', ...files], { encoding: 'utf8', maxBuffer: 64 << 20 });
  } catch (err) {
    throw new Error(`Nu checker failed to run: ${err.message}\n${err.stderr ?? ''}`);
  }
  const report = JSON.parse(out);
  const byFile = new Map(files.map((f) => [f, []]));
  const urlToFile = new Map(files.map((f) => [pathToFileURL(f).href, f]));
  for (const m of report.messages) {
    const file = urlToFile.get(m.url) ?? files.find((f) => m.url && decodeURIComponent(m.url).endsWith(f));
    if (m.type === 'non-document-error' || file === undefined) {
      throw new Error(`Nu checker could not check ${m.url ?? 'a file'}: ${m.message}`);
    }
    byFile.get(file).push(m);
  }
  return byFile;
}

export const isError = (m) => m.type === 'error';
export const isWarning = (m) => m.type === 'info' && m.subType === 'warning';

export function describe(m) {
  const where = m.lastLine ? `line ${m.firstLine ?? m.lastLine}:${m.firstColumn ?? m.lastColumn}` : 'document';
  const extract = m.extract ? ` «${m.extract.replace(/\s+/g, ' ').trim().slice(0, 100)}»` : '';
  return `${where}: ${m.message}${extract}`;
}

// Errors of `messages` left after taking away, message by message, the errors of
// `frameMessages`: a dossier rendered from the same record with every data value
// replaced by plain filler. What the frame shares with it comes from the fixed
// structure; what is left was brought by the data.
export function dataErrors(messages, frameMessages) {
  const budget = new Map();
  for (const m of frameMessages.filter(isError)) budget.set(m.message, (budget.get(m.message) ?? 0) + 1);
  const left = [];
  for (const m of messages.filter(isError)) {
    const n = budget.get(m.message) ?? 0;
    if (n > 0) budget.set(m.message, n - 1);
    else left.push(m);
  }
  return left;
}
