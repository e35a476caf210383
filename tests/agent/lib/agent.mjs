// The scripted model's part: a careful agent that follows the installed agent text
// step by step, and stream sub-agents that research and record at the same time.
// Where the text offers a branch (a first dossier or an update, q9-screen and q9-audit
// installed or not) the script takes the one its case sets up and checks that it was so.
// Every q9 result the host hands back is compared with what the command prints when the
// test runs it itself; a difference stops the script and is reported as a problem.
import fs from 'node:fs';
import { Barrier, bash, call, say, tool } from './model.mjs';

export const STREAMS = {
  'Financials & Corporate Structure': {
    section: 'financials',
    facts: [["The group's revenue for fiscal 2024 was US$1.23bn, up 4%", "Moody's credit opinion, 2025-04-02", '2024-12-31'],
            ['Net debt stood at 88.1 million euros', 'Acme Holdings annual report 2024', '2024-12-31']],
  },
  'Leadership & Board': {
    section: 'governance',
    facts: [['The board has nine directors, four of them independent', 'Acme Holdings governance report 2024', '2025-03-14'],
            ['Maria Lindqvist became chief executive', 'Company press release', '2023-06-01']],
  },
  'Products & Technology': {
    section: 'products',
    facts: [['Cold-chain logistics is 61 percent of revenue', 'Acme Holdings annual report 2024', '2024-12-31'],
            ['A warehouse automation platform went live in three hubs', 'Trade press interview', '2025-02-20']],
  },
};

// The sections of the dossier in doctrine order, without the two the renderer draws.
const SECTIONS = [
  ['history', 'History', 'From regional carrier to listed group'],
  ['ownership', 'Ownership & Structure', 'Shareholders and subsidiaries'],
  ['governance', 'Board & Governance', 'Directors and connected transactions'],
  ['organization', 'Organization', 'Executive team'],
  ['products', 'Products & Services', 'Cold chain, freight, warehousing'],
  ['technology', 'Technology', 'Digital initiatives'],
  ['financials', 'Financials', 'Fiscal 2024'],
  ['market', 'Market', 'Size and share'],
  ['competitors', 'Competitors', 'Landscape'],
  ['regulatory', 'Regulatory', 'Licences and oversight'],
  ['screening', 'Sanctions Screen', 'OFAC, UN, UK, EU, ICIJ'],
  ['sentiment', 'News, Sentiment & ESG', 'Coverage and sustainability'],
  ['risk', 'Risk Analysis', 'What could go wrong'],
  ['methodology', 'Methodology', 'How this dossier was built'],
  ['swot', 'SWOT', 'Summary'],
];

// A figure the agent found itself and put in the hero stats without recording it: the
// audit calls it unsourced until the agent records its fact.
export const PLANTED = {
  stat: { label: 'Employees', value: '4,200', sub: 'Acme annual report 2024, 2024-12-31' },
  fact: ['organization', 'The group employed 4,200 people at 31 December 2024',
         'Acme Holdings, annual report 2024, 2025-03-14, https://acme.example/ar2024.pdf', '2024-12-31'],
};

// The report data record, built from the facts the streams returned. `flaw` is put into
// one section body, as a careless agent might write it; `extra` sets the subtitle's end,
// adds paragraphs to `methodology` (the gaps a run names there) and `screening` (the
// screen's result, as markup), and `planted` adds PLANTED's figure.
export function record(company, flaw = '', extra = {}) {
  const facts = Object.values(STREAMS).flatMap((s) => s.facts.map((f) => ({ section: s.section, f })));
  const sections = SECTIONS.map(([id, title, subtitle]) => {
    const own = facts.filter((x) => x.section === id);
    const rows = own.map(({ f }) => `<tr><td>${f[0]}</td><td>${f[1]}</td><td class="num">${f[2]}</td></tr>`).join('');
    let body = own.length
      ? `<table><tr><th>Finding</th><th>Source</th><th>As of</th></tr>${rows}</table>` +
        `<p><span class="tag tag-verified">VERIFIED</span> Two independent sources each.</p>`
      : `<p>Searched the standard sources for ${title.toLowerCase()} of ${company}; ` +
        `<span class="tag tag-unverified">UNVERIFIED</span> beyond the filings cited.</p>`;
    if (id === 'screening') body += (extra.screening ?? '') + flaw;
    if (id === 'methodology' && extra.methodology) body += `<p>${extra.methodology}</p>`;
    return { id, title, subtitle, body_html: body };
  });
  return {
    company,
    industry: 'Logistics',
    founded: '1987',
    city: 'Rotterdam',
    country: 'Netherlands',
    subtitle_suffix: extra.subtitle_suffix ?? 'Full Dossier',
    generated: '2026-12-08',
    hero_stats: [
      { label: 'Revenue FY2024', value: 'US$1.23bn', sub: "Moody's credit opinion, 2025-04-02", pos: true },
      { label: 'Net debt', value: 'EUR 88.1M', sub: '2024-12-31' },
      { label: 'Directors', value: '9', sub: '4 independent' },
      ...(extra.planted ? [PLANTED.stat] : []),
    ],
    sections,
    sources: ['Acme Holdings annual report 2024', 'Acme Holdings governance report 2024', 'S&P trade press, 2025-02-20'],
  };
}

// The agent text's slug: ASCII lower case, accents dropped, other runs one hyphen.
export function slug(company) {
  return fold(company).replace(/[^a-z0-9]+/g, '-').replace(/^-|-$/g, '');
}

// A name in lower case with its accents dropped, as the agent compares spellings.
function fold(name) {
  return name.toLowerCase().replaceAll('ß', 'ss').replaceAll('æ', 'ae').replaceAll('ø', 'o')
    .normalize('NFKD').replace(/\p{M}/gu, '');
}

const quote = (text) => `"${text}"`;
const esc = (text) => text.replaceAll('&', '&amp;').replaceAll('<', '&lt;').replaceAll('>', '&gt;');

// From a text: the ```bash block that opens with `start`; a template with its <name>s
// filled in, every one of them; a text in single quotes with each apostrophe written as
// the quoting rule says.
const block = (text, start) => start + text.split('```bash\n' + start)[1].split('```')[0].trimEnd();
function fill(template, values) {
  const filled = Object.entries(values).reduce((t, [k, v]) => t.replaceAll(`<${k}>`, () => v), template);
  const left = template.match(/<[a-zA-Z][^<>]*>/g)?.filter((p) => !(p.slice(1, -1) in values));
  check(!left?.length, `the text's line holds ${left?.join(' ')}, which the script cannot fill: ${template}`);
  return filled;
}
const quoted = (rules, s) => s.replaceAll("'", () => rules.match(/apostrophe inside single quotes as `([^`]+)`/)[1]);

// Fails the script with `message` unless `ok`.
function check(ok, message) {
  if (!ok) throw new Error(message);
}

function sameAsQ9(c, result, ...args) {
  const direct = c.q9(...args);
  check(result.output === (direct.out || '(no output)'),
        `q9 ${args.join(' ')}: the host returned ${JSON.stringify(result.output)}, q9 prints ${JSON.stringify(direct.out)}`);
}

// The brief a careful agent hands one stream's sub-agent: the agent text's template, its
// first seven lines filled in from the identity, the stream's row and the update's date.
function brief(text, company, stream, since) {
  const row = text.split('\n').find((l) => l.startsWith(`| ${stream} |`)).split(' | ');
  return [`Stream: ${stream}`, `Company: ${company} N.V., registry id KvK 24123456, Netherlands, parent none; matched on address and founding year`,
          `Record under: ${company}`, `Since: ${since ?? 'none'}`, `Open gaps: ${since ? 'a second source for the warehouse platform' : 'none'}`,
          `Deliver: ${row[1]}`, `Section ids: ${row[2].slice(0, -2)}`,
          ...text.split('```text\n')[1].split('```')[0].split('\n').slice(7)].join('\n');
}

// The contradiction a Financials sub-agent finds on an update: a topic of two words.
export const CONTRADICTION = ['revenue FY2024', "US$1.23bn in Moody's credit opinion (B, 2025-04-02) against US$1.19bn on an aggregator (C, 2025-09-30); the report uses US$1.23bn"];

// Scripts for one dossier of `company` in case `c`. Options: `flaw` makes the first
// render fail the gate, and the agent mends the record from the error lines; `screen`
// and `audit` say whether those programs are on the agent's PATH.
//
// The agent's next move depends only on the call it made last and what came back, as a
// careful agent's would: each entry of `road` takes that result and returns the reply.
export function dossierScripts(c, company, { flaw = '', screen = false, audit = false } = {}) {
  const streams = Object.keys(STREAMS);
  const started = new Barrier(streams.length, 30000);
  const recording = new Barrier(streams.length, 30000);
  let text = ''; // the agent text, as the host hands it over
  let name = company; // <company>: the name memory knows the company by
  let last = null; // the newest recorded report, on an update
  let listed = false; // memory's list was read for another spelling
  let researched = false; // the streams have finished
  let mending = false;
  let flawed = flaw; // what the next write puts in: the flaw until it was mended
  let work = ''; // <work>, <n> and <file> as the text's snippet printed them
  let version = 0;
  let file = '';
  const q = (x) => quoted(text, x);
  const data = () => `${work}/data.json`;
  const saved = (ext) => `${c.home}/Desktop/q9-reports/${file}${ext}`;
  const recall = () => call(bash(`q9 memory recall ${quote(name)}`));
  const render = () => call(bash(`mkdir -p "$HOME/Desktop/q9-reports" && q9 report ${data()} --out "$HOME/Desktop/q9-reports/${file}.html"`));
  const validate = () => call(bash(`q9 validate "$HOME/Desktop/q9-reports/${file}.html"`));
  const keep = () => {
    let command = fill(block(text, 'set -C'), { work, file, n: String(version), company: q(name) });
    if (!audit) command = command.replace(/ && q9-audit .*? && /, ' && ');
    return call(bash(command));
  };
  let sanctions = null; // the screen's JSON, a retried list's entry in place of the first
  let retried = false;
  let counts = ''; // the audit's last counts line, once it exits 0
  const names = () => [name, `${name} N.V.`, 'Maria Lindqvist'];
  const lists = () => Object.fromEntries([...text.matchAll(/`([a-z-]+)` is "([^"]+)"/g)].map((m) => [m[1], m[2]]));
  // The screen of step 5, with `options` (a --lists choice) before the names.
  const screenCall = (options = '') => call(tool('bash', {
    command: fill(block(text, 'q9-screen --json').replace(/'<name>' '<name>'/, () => options + names().map((x) => `'${q(x)}'`).join(' ')), { work }),
    description: 'Screens the sanctions lists', timeout: +text.match(/`timeout` to (\d+)/)[1] }));
  // Why a partial hit is not this company or its officer, from the attributes printed;
  // null when they cannot settle it.
  const ruleOut = (h) => {
    const person = ['individual', 'person', 'officer'].includes(h.type);
    const where = h.nationality.join(', ') || 'no country given';
    if (person !== (h.query === names()[2])) return `${h.type} (born ${h.dob.join(', ') || 'unknown'}, ${where}), not a ${person ? 'company' : 'person'}`;
    if (!h.nationality.some((n) => /netherlands/i.test(n))) return `another name, ${h.type} of ${where}, while ${name} is Dutch`;
    return null;
  };
  const notScreened = () => (screen ? sanctions.lists.filter((l) => l.status !== 'screened').map((l) => `${lists()[l.list]}: not screened (${l.reason}).`)
    : ['OFAC SDN, UN Consolidated, UK Sanctions List, EU Consolidated, ICIJ Offshore Leaks: not screened (q9-screen is not installed).']);
  const screening = () => (screen ? [
    ...sanctions.lists.map((l) => (l.status === 'screened'
      ? `${lists()[l.list]}: screened, ${l.entries} entries, ${l.published || l.fetched}; names screened: ${names().join(', ')}; result: no match.`
      : `${lists()[l.list]}: not screened (${l.reason}); names screened: none of ${names().join(', ')}.`)),
    ...sanctions.hits.map((h) => `${lists()[h.list]} entry ${h.id} (${h.names.join('; ')}) is a partial match on ${h.query}: ruled out, ${ruleOut(h)}.`),
  ] : notScreened()).map((line) => `<p>${esc(line)}</p>`).join('');
  const write = () => call(tool('write', { filePath: data(), content: JSON.stringify(record(name, flawed, {
    subtitle_suffix: version > 1 ? `Full Dossier, update ${version}` : 'Full Dossier', screening: screening(), planted: audit,
    methodology: esc([...notScreened(), audit ? counts : 'Figures not audited (q9-audit is not installed).'].join(' ').trim()) }), null, 2) + '\n' }));
  const auditCall = () => call(bash(fill(block(text, 'q9-audit --entity'), { work, company: q(name) })));

  const road = [
    ['skill', (r) => {
      check(r.output.includes('# Burrowby — 互联网能力路由器'), 'the skill tool did not return the skill body');
      return call(bash('q9 version'));
    }],
    ['q9 version', (r) => {
      sameAsQ9(c, r, 'version');
      return call(bash(text.match(/`(command -v q9-screen q9-audit)`/)[1]));
    }],
    ['command -v', (r) => {
      const found = (program) => new RegExp(`/${program}$`, 'm').test(r.output);
      check(found('q9-screen') === screen && found('q9-audit') === audit, `command -v: ${r.output}`);
      return recall();
    }],
    ['q9 memory recall', (r) => {
      sameAsQ9(c, r, 'memory', 'recall', name);
      const known = JSON.parse(r.output);
      if (researched) {
        // After the streams: every finding is in memory, whatever the answers held.
        for (const { section, facts } of Object.values(STREAMS)) {
          const claims = (known.facts[section] ?? []).map((f) => f.claim);
          for (const [claim] of facts) check(claims.includes(claim), `memory lacks "${claim}"`);
        }
        return screen ? screenCall() : write();
      }
      if (known.reports.length) {
        last = known.reports.reduce((a, b) => (b.version > a.version ? b : a));
      } else if (!listed) {
        listed = true;
        return call(bash('q9 memory list'));
      }
      const n = last ? last.version + 1 : 1;
      return call(bash(fill(block(text, 'mktemp -d'), { slug: slug(name), n: String(n) })));
    }],
    ['q9 memory list', (r) => {
      sameAsQ9(c, r, 'memory', 'list');
      // Another spelling of the same company: the same letters once accents are dropped.
      const other = r.output.split('\n').map((l) => l.split(/ {2,}/)[0]).find((n) => n && n !== name && fold(n) === fold(name));
      if (other) {
        name = other;
        return recall();
      }
      return call(bash(fill(block(text, 'mktemp -d'), { slug: slug(name), n: '1' })));
    }],
    ['mktemp -d', (r) => {
      const lines = r.output.trim().split('\n');
      work = lines[0];
      [, version, file] = lines.at(-1).match(/^version (\d+) file (\S+)$/).map((x, i) => (i === 1 ? +x : x));
      check(new RegExp(`^/tmp/q9-${slug(name)}-[A-Za-z0-9]{6}$`).test(work) && fs.statSync(work).isDirectory(), `work folder: ${r.output}`);
      if (!last) return call(bash('q9 doctrine'));
      return call(bash(`cp "${last.path.replace(/\.html$/, '.json')}" ${data()}`));
    }],
    ['cp ', (r) => {
      check(r.output === '(no output)' || r.output === '', `cp: ${r.output}`);
      return call(tool('read', { filePath: data() }));
    }],
    ['q9 doctrine', (r) => {
      sameAsQ9(c, r, 'doctrine');
      return call(...streams.map((stream) =>
        tool('task', { description: `${stream.split(' ')[0]} research stream`, subagent_type: 'general',
                       prompt: brief(text, name, stream, last?.date) })));
    }],
    ['task', (r, all) => {
      check(all.length === streams.length, `${all.length} task results`);
      for (const task of all) check(/Recorded \d+ (facts|finding)/.test(task.output), `a stream came back without an answer: ${task.output}`);
      researched = true;
      return recall();
    }],
    ['q9-screen', (r) => {
      const status = +r.output.match(/q9-screen: exit status (\d+)\n?$/)[1];
      const json = JSON.parse(r.output.slice(0, r.output.lastIndexOf('q9-screen: exit status')));
      check([0, 1, 3].includes(status), `q9-screen exited ${status}: ${r.output}`);
      if (!sanctions) {
        sanctions = json;
      } else {
        const again = new Set(json.lists.map((l) => l.list));
        sanctions = { lists: sanctions.lists.map((l) => json.lists.find((m) => m.list === l.list) ?? l),
                      hits: [...sanctions.hits.filter((h) => !again.has(h.list)), ...json.hits] };
      }
      // A list whose download failed is tried once more on its own.
      const failed = json.lists.filter((l) => l.status !== 'screened' && /HTTP \d|no answer within|curl|Could not|Couldn't|Failed to|cut short/i.test(l.reason));
      if (failed.length && !retried) {
        retried = true;
        return screenCall(`--lists ${failed.map((l) => l.list).join(',')} `);
      }
      for (const h of sanctions.hits) check(h.match === 'partial' && ruleOut(h), `a hit the attributes do not rule out: ${JSON.stringify(h)}`);
      // Each list read, with every partial hit ruled out, is clear: a negative finding, as
      // the text words it.
      const template = text.match(/`(q9 record negative '<company>' 'Sanctions screen [^`]*)`/)[1];
      const clear = sanctions.lists.filter((l) => l.status === 'screened');
      if (!clear.length) return write();
      return call(bash(clear.map((l) => fill(template, { company: q(name), 'YYYY-MM-DD': new Date().toISOString().slice(0, 10),
        list: q(lists()[l.list]), 'list date': l.published || l.fetched, 'every name screened': q(names().join(', ')) })).join(' && ')));
    }],
    ['q9 record negative', (r) => {
      check(/^(recorded -> (already recorded: )?negative for .*\n)+$/.test(r.output), `record negative: ${r.output}`);
      return write();
    }],
    ['write', (r) => {
      check(r.output.includes('Wrote file successfully'), `the data record was not written: ${r.output}`);
      return render();
    }],
    ['mkdir -p', (r) => {
      // The same render to a scratch file prints the same line but for the path.
      const scratch = `${c.root}/scratch.html`;
      const direct = c.q9('report', data(), '--out', scratch).out.replace(`wrote ${scratch} (`, `wrote ${saved('.html')} (`);
      check(r.output === direct, `the host returned ${JSON.stringify(r.output)}, q9 prints ${JSON.stringify(direct)}`);
      const failed = r.output.split('\n')[0].endsWith('| gate: FAIL');
      check(!failed || (flaw && r.output.includes('\n  - emoji present: ')), `render result: ${r.output}`);
      return validate();
    }],
    ['q9 validate', (r) => {
      sameAsQ9(c, r, 'validate', saved('.html'));
      if (r.output.includes('GATE 4 FAILED')) {
        check(flaw, `the gate failed: ${r.output}`);
        mending = true;
        return call(tool('read', { filePath: data() }));
      }
      check(r.output.includes('GATE 4 PASSED'), `validate: ${r.output}`);
      return audit && !counts ? auditCall() : keep();
    }],
    ['q9-audit', (r) => {
      const status = +r.output.match(/q9-audit: exit status (\d+)\n?$/)[1];
      // The planted figure is unsourced until its fact is recorded, with the source read.
      if (status === 1) {
        check(/^ +unsourced +4,200 /m.test(r.output) && r.output.match(/^ +unsourced /gm).length === 1, `q9-audit: ${r.output}`);
        const [section, claim, src, date] = PLANTED.fact;
        return call(bash(fill(text.match(/`(q9 record fact '<company>' [^`]*)`/)[1],
          { company: q(name), section, claim: q(claim), src: q(src), 'YYYY-MM-DD': date })));
      }
      check(status === 0 && !/^ +unsourced /m.test(r.output), `q9-audit: ${r.output}`);
      counts = r.output.match(/^figures: \d+, .*$/m)[0];
      return write();
    }],
    ['q9 record fact', (r) => {
      check(/^recorded -> fact for .* \[organization\] \(2024-12-31\)\n$/.test(r.output), `record fact: ${r.output}`);
      return render();
    }],
    ['read', (r) => {
      if (!mending) {
        check(r.output.includes(`"company": "${name}"`), `the last run's data file: ${r.output.slice(0, 300)}`);
        return call(bash('q9 doctrine'));
      }
      check(r.output.includes(flaw), 'the record read back lacks the flaw the gate named');
      mending = false;
      flawed = '';
      return call(tool('edit', { filePath: data(), oldString: flaw, newString: ' Screen result: no hits.', replaceAll: true }));
    }],
    ['edit', (r) => {
      check(!/error/i.test(r.output), `edit: ${r.output}`);
      return render();
    }],
    ['set -C', (r) => {
      const escaped = name.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
      check(new RegExp(`^recorded -> report for ${escaped} v${version} \\(\\d{4}-\\d\\d-\\d\\d\\)\\n$`).test(r.output),
            `record report: ${JSON.stringify(r.output)}`);
      return say(`Dossier saved to ${saved('.html')}; GATE 4 PASSED.`);
    }],
  ];

  return {
    agent(t) {
      text = t.system;
      if (t.step === 0) {
        check(t.tools.includes('task'), `the agent is offered no task tool for its sub-agents (${t.tools.join(', ')})`);
        return call(tool('skill', { name: 'q9-research' }));
      }
      const results = t.results;
      check(results.length > 0, 'the last reply made no call');
      for (const r of results) check(!/rejected permission/i.test(r.output ?? ''), `${r.name} was refused: ${r.output}`);
      const first = results[0];
      const what = first.name === 'bash' ? first.args.command : first.name;
      const entry = road.find(([prefix]) => what.startsWith(prefix));
      check(entry, `no next step after ${what}`);
      return entry[1](first, results);
    },

    // A first dossier records two facts per stream; on an update the Financials stream
    // finds a contradiction and the others nothing new. Each line is the brief's own,
    // quoted by its rule.
    async stream(t) {
      const stream = t.session.slice('stream:'.length);
      const s = STREAMS[stream];
      const since = t.firstUser.match(/^Since: (.*)$/m)[1];
      const who = t.firstUser.match(/^Record under: (.*)$/m)[1];
      const sq = (x) => quoted(t.firstUser, x);
      const line = (what) => t.firstUser.match(new RegExp(`^ *(q9 record ${what} .*)$`, 'm'))[1];
      if (t.step === 0) {
        check(await started.arrive(stream), 'the stream sub-agents did not start at the same time');
        return call(bash(`q9 streams ${quote(stream)}`));
      }
      const [r] = t.results;
      if (t.step === 1) {
        sameAsQ9(c, r, 'streams', stream);
        check(await recording.arrive(stream), 'the stream sub-agents did not record at the same time');
        if (since === 'none') {
          return call(bash(s.facts.map(([claim, src, date]) => fill(line('fact'),
            { company: sq(who), section: s.section, claim: sq(claim), src: sq(src), 'YYYY-MM-DD': date })).join(' && ')));
        }
        if (s.section !== 'financials') {
          return call(bash(fill(line('negative'), { company: sq(who), 'what you searched and found nothing': sq(`${stream}: nothing new since ${since}`) })));
        }
        const [topic, both] = CONTRADICTION;
        return call(bash(fill(line('contradiction'), { company: sq(who), topic: sq(topic), 'both values + sources': sq(both) })));
      }
      if (since !== 'none') {
        check(/^recorded -> (contradiction|negative) for /.test(r.output), `record: ${JSON.stringify(r.output)}`);
        return say(`Recorded 1 finding for ${stream}.`);
      }
      const expected = s.facts.map(([, , date]) => `recorded -> fact for ${who} [${s.section}] (${date})\n`).join('');
      check(r.output === expected, `record: ${JSON.stringify(r.output)}`);
      return say(`Recorded 2 facts for ${stream}.`);
    },
  };
}
