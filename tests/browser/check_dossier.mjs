#!/usr/bin/env node
// Renders one report data record with `q9 report`, opens the dossier in headless
// Chromium cut off from the network, checks what the browser shows, and runs the Nu
// HTML checker over it. Exit status 0 when every check holds.
//
//   node check_dossier.mjs --q9 PATH --out DIR --case NAME
//        (--data FILE | --generate rich|broken) [--cache DIR]
//
// With --generate broken the checks are turned round: the run passes only when the
// browser and the checkers report the planted faults.
import fs from 'node:fs';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import { Browser } from './lib/cdp.mjs';
import { judge } from './lib/probe.mjs';
import { runNu, dataErrors, isError, isWarning, describe } from './lib/nu.mjs';
import { frameRecord, richRecord, brokenRecord, BROKEN_ADDRESS } from './lib/records.mjs';
import { parseArgs, findTools, freshDir, render, inspect, pictureStats, Tally } from './lib/harness.mjs';

async function browse(chromium, htmlFile, outDir) {
  const browser = await Browser.launch(chromium);
  try {
    const shotFile = path.join(outDir, 'screenshot-1200x800.png');
    const seen = await inspect(browser, pathToFileURL(htmlFile).href, async (page) => {
      await page.screenshot(shotFile);
      await page.screenshot(path.join(outDir, 'page-1200.png'), { fullPage: true });
    });
    await seen.page.screenshot(path.join(outDir, 'screenshot-800x800.png'));
    seen.shot = await pictureStats(browser, shotFile);
    delete seen.page;
    return seen;
  } finally {
    await browser.close();
  }
}

async function main() {
  const args = parseArgs(process.argv.slice(2), ['q9', 'out', 'case']);
  if (!args.data === !args.generate) throw new Error('give exactly one of --data and --generate');
  const tools = findTools(args.cache);
  const outDir = freshDir(path.resolve(args.out, args.case));
  const broken = args.generate === 'broken';

  let record;
  let recordFile;
  if (args.data) {
    recordFile = path.resolve(args.data);
    record = JSON.parse(fs.readFileSync(recordFile, 'utf8'));
  } else {
    record = { rich: richRecord, broken: brokenRecord }[args.generate]?.();
    if (!record) throw new Error(`unknown record ${args.generate}`);
    recordFile = path.join(outDir, 'record.json');
    fs.writeFileSync(recordFile, JSON.stringify(record, null, 2) + '\n');
  }
  const frameFile = path.join(outDir, 'frame.json');
  fs.writeFileSync(frameFile, JSON.stringify(frameRecord(record), null, 2) + '\n');

  const tally = new Tally();
  const htmlFile = path.join(outDir, 'dossier.html');
  const frameHtml = path.join(outDir, 'frame.html');
  const gate = render(args.q9, recordFile, htmlFile);
  const frameGate = render(args.q9, frameFile, frameHtml);
  console.log(`dossier: ${htmlFile}`);
  for (const line of gate.lines) console.log(`  q9: ${line}`);
  if (broken) {
    const text = gate.lines.join('\n');
    tally.check(gate.status === 1 && /gate: FAIL$/.test(gate.lines[0] ?? ''), 'gate fails the broken dossier');
    tally.check(/rounded corners/.test(text) && /external resource load/.test(text),
      'gate names the rounded corners and the external load');
  } else {
    tally.check(gate.status === 0 && /gate: PASS$/.test(gate.lines[0] ?? ''), 'gate passes the dossier');
  }
  tally.check(frameGate.status === 0, 'gate passes the frame twin', frameGate.lines);

  const seen = await browse(tools.chromium, htmlFile, outDir);
  fs.writeFileSync(path.join(outDir, 'probe.json'), JSON.stringify(seen, null, 2) + '\n');
  const problems = judge({ record, wide: seen.wide, narrowColumns: seen.narrowColumns,
    requests: seen.requests, exceptions: seen.exceptions, pageUrl: seen.url });
  console.log(`screenshot: ${path.join(outDir, 'screenshot-1200x800.png')}`);
  const { shot } = seen;
  tally.check(shot.width === 1200 && shot.height === 800 && shot.darkShare >= 0.75,
    `screenshot is 1200x800 and dark (${shot.width}x${shot.height}, ${(shot.darkShare * 100).toFixed(1)}% dark pixels)`);

  if (broken) {
    const expected = [
      [/^rounded corner: div\.card\.rounded in section#risk /, 'browser shows the rounded card'],
      [new RegExp(`^non-inline address in img in section#risk src: ${BROKEN_ADDRESS.replace(/[.?/]/g, '\\$&')}$`),
        'browser finds the external image address'],
      [/^request left the page: https:\/\/images\.example\.com\//, 'browser saw the image request try to leave'],
      [/^script error: .*dossier script ran/, 'browser reports the script error'],
    ];
    for (const [pattern, name] of expected) tally.check(problems.some((p) => pattern.test(p)), name);
    const other = problems.filter((p) => !expected.some(([pattern]) => pattern.test(p)));
    tally.check(other.length === 0, 'nothing else is wrong in the broken dossier', other);
  } else {
    const group = (re) => problems.filter((p) => re.test(p));
    tally.check(group(/^(request|resource|non-inline)/).length === 0, 'no request left the page',
      group(/^(request|resource|non-inline)/));
    tally.check(group(/^script error/).length === 0, 'no script error', group(/^script error/));
    tally.check(group(/^rounded/).length === 0, `every corner is sharp (${seen.wide.elements} elements)`,
      group(/^rounded/));
    tally.check(group(/^nav/).length === 0, 'nav is fixed at the top', group(/^(nav |no nav)/));
    tally.check(group(/hero/).length === 0,
      `hero grid: ${seen.wide.hero?.columns} columns at 1200px, ${seen.narrowColumns} at 800px`, group(/hero/));
    tally.check(group(/^(section|page has|nav links)/).length === 0,
      `all ${seen.wide.sections.length} sections present with their headings, in order`,
      group(/^(section|page has|nav links)/));
    tally.check(group(/background/).length === 0, 'dark page background', group(/background/));
  }
  if (seen.consoleErrors.length) console.log(`console: ${seen.consoleErrors.join(' | ')}`);

  const nu = runNu(tools.java, tools.jar, [htmlFile, frameHtml]);
  fs.writeFileSync(path.join(outDir, 'nu.json'),
    JSON.stringify(Object.fromEntries(nu), null, 2) + '\n');
  const frameMessages = nu.get(frameHtml);
  const fromData = dataErrors(nu.get(htmlFile), frameMessages);
  // The frame's findings belong to the fixed document structure: shown, never counted.
  const structural = frameMessages.filter(isError);
  console.log(`Nu on the fixed structure: ${structural.length} error(s), ${frameMessages.filter(isWarning).length} warning(s)`);
  for (const m of frameMessages.filter((x) => isError(x) || isWarning(x))) console.log(`  structure: ${m.type === 'error' ? 'error' : 'warning'} ${describe(m)}`);
  for (const m of nu.get(htmlFile).filter(isWarning)) console.log(`  dossier warning: ${describe(m)}`);
  if (broken) {
    tally.check(fromData.length > 0, 'Nu finds the invalid markup the record brings',
      fromData.map(describe));
  } else {
    tally.check(fromData.length === 0, 'Nu finds no error brought by the record', fromData.map(describe));
  }

  return tally.summary(args.case);
}

main().then((code) => { process.exitCode = code; }, (err) => {
  console.error(`check_dossier: ${err.message}`);
  process.exitCode = 2;
});
