#!/usr/bin/env node
// Proves the browser probe can fail: renders the rich record with `q9 report`, plants
// one fault at a time into copies of the dossier (the kind a renderer or style sheet
// change could bring), and expects the probe to name each one.
//
//   node mutants.mjs --q9 PATH --out DIR [--cache DIR]
import fs from 'node:fs';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import { Browser } from './lib/cdp.mjs';
import { judge } from './lib/probe.mjs';
import { richRecord } from './lib/records.mjs';
import { parseArgs, findTools, freshDir, render, inspect, Tally } from './lib/harness.mjs';

const replace = (from, to) => (html) => html.replace(from, to);
const sectionPattern = (id) => new RegExp(`<section id="${id}">[\\s\\S]*?</section>`);

// name, fault planted into the dossier text, what the probe must say about it.
const MUTANTS = [
  ['nav scrolls away', replace('.nav{position:fixed;', '.nav{position:absolute;'),
    [/^nav position is absolute/, /^nav moved to -\d+/]],
  ['hero grid of four', replace('grid-template-columns:repeat(6,1fr)', 'grid-template-columns:repeat(4,1fr)'),
    [/^hero grid shows 4 columns at 1200px/]],
  ['no narrow layout', replace('@media (max-width:900px){.hero-grid{grid-template-columns:repeat(2,1fr)}}', ''),
    [/^hero grid shows 6 columns at 800px/]],
  ['universal zero radius lost', replace('border-radius:0!important}', '}.hero-stat{border-radius:6px}'),
    [/^rounded corner: div\.hero-stat in section#overview borderTopLeftRadius = 6px/]],
  ['rule outranks the universal zero', replace('</style>', '.nav-links a:first-child{border-radius:3px!important}</style>'),
    [/^rounded corner: a borderTopLeftRadius = 3px/]],
  ['rounded svg rectangle', replace('<rect x="10"', '<rect rx="6" x="10"'),
    [/^rounded corner: rect in section#esg rx = 6px/]],
  ['light page', replace('--bg-primary:#0a0a0a', '--bg-primary:#f4f4f4'),
    [/^page background is rgb\(244, 244, 244\)/]],
  ['sections out of order', (html) => {
    const a = html.match(sectionPattern('ownership'))[0];
    const b = html.match(sectionPattern('financials'))[0];
    return html.replace(a, '\u0000').replace(b, a).replace('\u0000', b);
  }, [/^section 4: id "financials", expected "ownership"/, /^section 5: id "ownership", expected "financials"/]],
  ['section dropped', (html) => html.replace(sectionPattern('gaps'), ''),
    [/^page has 18 sections, the record 19/]],
  ['heading lost', replace('<h2>Leadership &amp; Board</h2>', ''),
    [/^section 3 \(leadership\): heading null null, expected h2 "Leadership & Board"/]],
  ['heading escaped twice', replace('<h2>Leadership &amp; Board</h2>', '<h2>Leadership &amp;amp; Board</h2>'),
    [/^section 3 \(leadership\): heading h2 "Leadership &amp; Board"/]],
  ['unclosed section swallows the rest', replace('<section id="market">', '<section id="market"><section>'),
    [/^page has 9 sections, the record 19/]],
  ['heading pushed down', replace('<section id="market">', '<section id="market"><div>'),
    [/^section 8 \(market\): heading is not its first element/]],
  ['script error', replace('</body>', '<script>null.x</script></body>'),
    [/^script error: TypeError/]],
  ['imported style sheet', replace('<style>', '<style>@import url(https://fonts.example.com/a.css);'),
    [/^request left the page: https:\/\/fonts\.example\.com\/a\.css/, /^non-inline address in style sheet @import/]],
  ['font file', replace('</style>', '@font-face{font-family:X;src:url(https://fonts.example.com/x.woff2)}</style>'),
    [/^non-inline address in style sheet @font-face: https:\/\/fonts\.example\.com\/x\.woff2/]],
  ['background picture', replace('</style>', '.cover{background:url(http://img.example.com/bg.png)}</style>'),
    [/^request left the page: http:\/\/img\.example\.com\/bg\.png/, /^non-inline address in div\.cover style backgroundImage/]],
  ['linked style sheet', replace('</head>', '<link rel="stylesheet" href="https://cdn.example.com/s.css"></head>'),
    [/^request left the page: https:\/\/cdn\.example\.com\/s\.css/, /^non-inline address in link href/]],
  ['picture beside the file', replace('<p class="src">Scope', '<img src="chart.png" alt=""><p class="src">Scope'),
    [/^request left the page: file:\/\/.*\/chart\.png/, /^non-inline address in img in section#esg src: chart\.png/]],
];

async function main() {
  const args = parseArgs(process.argv.slice(2), ['q9', 'out']);
  const tools = findTools(args.cache);
  const outDir = freshDir(path.resolve(args.out, 'mutants'));
  const recordFile = path.join(outDir, 'record.json');
  fs.writeFileSync(recordFile, JSON.stringify(richRecord(), null, 2) + '\n');
  const original = path.join(outDir, 'dossier.html');
  const gate = render(args.q9, recordFile, original);
  if (gate.status !== 0) throw new Error(`q9 report failed the rich record: ${gate.lines.join(' / ')}`);
  const html = fs.readFileSync(original, 'utf8');
  const record = richRecord();

  const tally = new Tally();
  const browser = await Browser.launch(tools.chromium);
  try {
    for (const [name, mutate, expected] of MUTANTS) {
      const mutated = mutate(html);
      if (mutated === html) {
        tally.check(false, `${name}: the fault could not be planted (dossier changed shape?)`);
        continue;
      }
      const file = path.join(outDir, `${name.replace(/\W+/g, '-')}.html`);
      fs.writeFileSync(file, mutated);
      const seen = await inspect(browser, pathToFileURL(file).href);
      await seen.page.send('Page.close').catch(() => {});
      const problems = judge({ record, wide: seen.wide, narrowColumns: seen.narrowColumns,
        requests: seen.requests, exceptions: seen.exceptions, pageUrl: seen.url });
      const missed = expected.filter((re) => !problems.some((p) => re.test(p)));
      tally.check(missed.length === 0, `${name}: caught`,
        missed.length ? [`expected ${missed.join(', ')}`, ...problems.map((p) => `saw: ${p}`)] : []);
    }
  } finally {
    await browser.close();
  }
  return tally.summary('mutants');
}

main().then((code) => { process.exitCode = code; }, (err) => {
  console.error(`mutants: ${err.message}`);
  process.exitCode = 2;
});
