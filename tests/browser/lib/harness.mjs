// Pieces shared by the browser check scripts: arguments, tools, rendering with q9,
// looking at one page at both widths, and a readable list of checks.
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { Page } from './cdp.mjs';
import { PROBE_EXPRESSION, HERO_COLUMNS_EXPRESSION } from './probe.mjs';

// "--key value" pairs; every key in `required` must be there.
export function parseArgs(argv, required) {
  const args = {};
  for (let i = 0; i < argv.length; i += 2) {
    const key = argv[i];
    if (!key.startsWith('--') || i + 1 >= argv.length) throw new Error(`bad argument ${key}`);
    args[key.slice(2)] = argv[i + 1];
  }
  for (const need of required) if (!args[need]) throw new Error(`--${need} is required`);
  args.cache ??= path.join(process.env.HOME ?? '/tmp', '.cache', 'q9infra-browser');
  return args;
}

function which(name) {
  for (const dir of (process.env.PATH ?? '').split(':')) {
    const p = path.join(dir || '.', name);
    try {
      fs.accessSync(p, fs.constants.X_OK);
      return p;
    } catch (e) { /* next */ }
  }
  return null;
}

// Tools as provision.sh leaves them; the environment may point elsewhere.
export function findTools(cache) {
  const chromium = process.env.Q9_CHROMIUM || which('chromium-headless-shell') || which('chromium');
  const java = process.env.Q9_JAVA || which('java');
  const jar = process.env.Q9_VNU_JAR || path.join(cache, 'node_modules', 'vnu-jar', 'build', 'dist', 'vnu.jar');
  const missing = [];
  if (!chromium) missing.push('chromium-headless-shell (or chromium)');
  if (!java) missing.push('java');
  if (!fs.existsSync(jar)) missing.push(`vnu.jar (looked at ${jar})`);
  if (missing.length) throw new Error(`missing tools: ${missing.join(', ')}; run tests/browser/provision.sh`);
  return { chromium, java, jar };
}

// A fresh, empty output folder.
export function freshDir(dir) {
  fs.rmSync(dir, { recursive: true, force: true });
  fs.mkdirSync(dir, { recursive: true });
  return dir;
}

// `q9 report RECORD --out FILE`: returns its exit status and standard output lines.
export function render(q9, recordFile, htmlFile) {
  const r = spawnSync(q9, ['report', recordFile, '--out', htmlFile], { encoding: 'utf8', timeout: 60000 });
  if (r.error) throw new Error(`cannot run ${q9}: ${r.error.message}`);
  if (r.status !== 0 && r.status !== 1) {
    throw new Error(`q9 report ${recordFile} exited ${r.status}: ${r.stderr.trim()}`);
  }
  if (!fs.existsSync(htmlFile)) throw new Error(`q9 report ${recordFile} wrote no ${htmlFile}`);
  return { status: r.status, lines: r.stdout.split('\n').filter((l) => l !== '') };
}

const nextFrame = 'new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))';

// Opens `url` in a new page at 1200x800, probes it, calls `atWide(page)` (for
// screenshots), then narrows the page to 800px and counts the hero columns again.
export async function inspect(browser, url, atWide = async () => {}) {
  const page = await Page.open(browser);
  await page.setViewport(1200, 800);
  await page.load(url);
  const wide = await page.evaluate(PROBE_EXPRESSION);
  await atWide(page);
  await page.setViewport(800, 800);
  await page.evaluate(nextFrame);
  const narrowColumns = await page.evaluate(HERO_COLUMNS_EXPRESSION);
  return { page, url, wide, narrowColumns, requests: page.requests, exceptions: page.exceptions,
    consoleErrors: page.consoleErrors };
}

// Size and darkness of a PNG, measured by drawing it on a canvas in a blank page of
// its own (the dossier's page keeps only its own requests).
export async function pictureStats(browser, pngFile) {
  const page = await Page.open(browser);
  const dataUrl = `data:image/png;base64,${fs.readFileSync(pngFile).toString('base64')}`;
  return page.evaluate(`new Promise((resolve, reject) => {
    const img = new Image();
    img.onerror = () => reject(new Error('screenshot does not decode'));
    img.onload = () => {
      const c = document.createElement('canvas');
      c.width = img.naturalWidth; c.height = img.naturalHeight;
      const g = c.getContext('2d');
      g.drawImage(img, 0, 0);
      const px = g.getImageData(0, 0, c.width, c.height).data;
      let dark = 0;
      for (let i = 0; i < px.length; i += 4) {
        if (0.2126 * px[i] + 0.7152 * px[i + 1] + 0.0722 * px[i + 2] < 40) dark += 1;
      }
      resolve({ width: c.width, height: c.height, darkShare: dark / (px.length / 4) });
    };
    img.src = ${JSON.stringify(dataUrl)};
  })`);
}

// Collects named outcomes so the log reads as a list of checks.
export class Tally {
  constructor() { this.failed = 0; this.passed = 0; }
  check(ok, name, details = []) {
    console.log(`${ok ? 'ok  ' : 'FAIL'} ${name}`);
    for (const d of details) console.log(`       ${d}`);
    if (ok) this.passed += 1; else this.failed += 1;
    return ok;
  }
  summary(name) {
    console.log(`${name}: ${this.passed} checks held, ${this.failed} failed`);
    return this.failed === 0 ? 0 : 1;
  }
}
