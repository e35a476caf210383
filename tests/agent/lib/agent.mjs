// The scripted model's part: a careful agent that follows the installed agent text
// step by step, and stream sub-agents that research and record at the same time.
// Every q9 result the host hands back is compared with what the command prints when the
// test runs it itself; a difference stops the script and is reported as a problem.
import http from 'node:http';
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

// The report data record, built from the facts the streams returned. `flaw` is put into
// one section body, as a careless agent might write it.
export function record(company, flaw = '') {
  const facts = Object.values(STREAMS).flatMap((s) => s.facts.map((f) => ({ section: s.section, f })));
  const sections = SECTIONS.map(([id, title, subtitle]) => {
    const own = facts.filter((x) => x.section === id);
    const rows = own.map(({ f }) => `<tr><td>${f[0]}</td><td>${f[1]}</td><td class="num">${f[2]}</td></tr>`).join('');
    const body = own.length
      ? `<table><tr><th>Finding</th><th>Source</th><th>As of</th></tr>${rows}</table>` +
        `<p><span class="tag tag-verified">VERIFIED</span> Two independent sources each.</p>`
      : `<p>Searched the standard sources for ${title.toLowerCase()} of ${company}; ` +
        `<span class="tag tag-unverified">UNVERIFIED</span> beyond the filings cited.</p>`;
    return { id, title, subtitle, body_html: id === 'screening' ? body + flaw : body };
  });
  return {
    company,
    industry: 'Logistics',
    founded: '1987',
    city: 'Rotterdam',
    country: 'Netherlands',
    subtitle_suffix: 'Full Dossier',
    generated: '2026-12-08',
    hero_stats: [
      { label: 'Revenue FY2024', value: 'EUR 412.6M', sub: 'annual report', pos: true },
      { label: 'Net debt', value: 'EUR 88.1M', sub: '2024-12-31' },
      { label: 'Directors', value: '9', sub: '4 independent' },
    ],
    sections,
    sources: ['Acme Holdings annual report 2024', 'Acme Holdings governance report 2024', 'S&P trade press, 2025-02-20'],
  };
}

export function slug(company) {
  return company.toLowerCase().replace(/[^a-z0-9]+/g, '-').replace(/^-|-$/g, '');
}

const quote = (text) => `"${text}"`;

// From a text: the ```bash block that opens with `start`; a template with its <name>s
// filled in; a text in single quotes with each apostrophe written as the quoting rule says.
const block = (text, start) => start + text.split('```bash\n' + start)[1].split('```')[0];
const fill = (template, values) => Object.entries(values).reduce((t, [k, v]) => t.replaceAll(`<${k}>`, () => v), template);
const quoted = (rules, s) => s.replaceAll("'", () => rules.match(/apostrophe inside single quotes as `([^`]+)`/)[1]);

// Stands in for the sanctions lists' hosts: OFAC SDN (naming a director) and UN (naming
// nobody) answer with a redirect, then the list; any other address answers 404.
function listServer() {
  const lists = { 'ofac-sdn.csv': '36,"LINDQVIST, Maria",individual,"SDGT"\n', 'un.xml': '<FIRST_NAME>JOHN</FIRST_NAME>\n' };
  const server = http.createServer((req, res) => {
    if (lists[req.url.slice(1)]) res.writeHead(302, { location: `/moved${req.url}` }).end();
    else res.writeHead(lists[req.url.slice(7)] && req.url.startsWith('/moved/') ? 200 : 404).end(lists[req.url.slice(7)]);
  }).unref();
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server.address().port)));
}

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
// first five lines filled in from the identity and the stream's row of the table.
function brief(text, company, stream) {
  const row = text.split('\n').find((l) => l.startsWith(`| ${stream} |`)).split(' | ');
  return [`Stream: ${stream}`, `Company: ${company} N.V., registry id KvK 24123456, Netherlands, parent none; matched on address and founding year`,
          `Record under: ${company}`, `Deliver: ${row[1]}`, `Section ids: ${row[2].slice(0, -2)}`,
          ...text.split('```text\n')[1].split('```')[0].split('\n').slice(5)].join('\n');
}

// Scripts for one dossier of `company` in case `c`. With `flaw`, the first render
// fails the gate and the agent mends the record from the error lines.
//
// The agent's next move depends only on the call it made last and what came back, as a
// careful agent's would: each entry of `road` takes that result and returns the reply.
export function dossierScripts(c, company, { flaw = '' } = {}) {
  const data = `/tmp/q9-${slug(company)}/data.json`;
  const file = `~/Desktop/q9-reports/${slug(company)}-report.html`;
  const out = `${c.home}/Desktop/q9-reports/${slug(company)}-report.html`;
  const streams = Object.keys(STREAMS);
  const started = new Barrier(streams.length, 30000);
  const recording = new Barrier(streams.length, 30000);
  const render = () => call(bash(`mkdir -p ~/Desktop/q9-reports && q9 report ${data} --out ${file}`));
  const validate = () => call(bash(`q9 validate ${file}`));
  let text = ''; // the agent text, as the host hands it over

  const road = [
    ['skill', (r) => {
      check(r.output.includes('# Burrowby — 互联网能力路由器'), 'the skill tool did not return the skill body');
      return call(bash('q9 version'));
    }],
    ['q9 version', (r) => {
      sameAsQ9(c, r, 'version');
      return call(bash(`q9 memory recall ${quote(company)}`));
    }],
    ['q9 memory recall', (r) => {
      sameAsQ9(c, r, 'memory', 'recall', company);
      return call(bash('q9 doctrine'));
    }],
    ['q9 doctrine', (r) => {
      sameAsQ9(c, r, 'doctrine');
      return call(...streams.map((stream) =>
        tool('task', { description: `${stream.split(' ')[0]} research stream`, subagent_type: 'general',
                       prompt: brief(text, company, stream) })));
    }],
    ['task', async (r, all) => {
      check(all.length === streams.length, `${all.length} task results`);
      for (const task of all) check(task.output.includes('Recorded 2 facts'), `a stream came back without its facts: ${task.output}`);
      // The sanctions screen: the text's downloads, each address pointed at the stand-in, then its search.
      const command = fill(`${block(text, 'mkdir -p /tmp/q9-<slug>/lists')}${block(text, 'cd /tmp/q9-<slug>/lists')}`,
        { slug: slug(company), names: `'${company}' 'Lindqvist'` }).replace(/^get (\S+) '[^']+'/gm, `get $1 'http://127.0.0.1:${await listServer()}/$1'`);
      return call(tool('bash', { command, description: 'Screens the sanctions lists', timeout: +text.match(/`timeout` set to (\d+)/)[1] }));
    }],
    ['mkdir -p /tmp/', (r) => {
      // Redirect then list: a hit and a zero-hit. 404: not screened, and never searched.
      const hits = (list) => [...r.output.matchAll(new RegExp(`^${list} '[^']*': (\\d+) matching lines$`, 'gm'))].map((m) => m[1]).join();
      check(hits('ofac-sdn.csv') === '0,1' && hits('un.xml') === '0,0' && hits('uk.csv') === '', `screen: ${r.output}`);
      check(/^uk\.csv: NOT SCREENED$/m.test(r.output), `screen: ${r.output}`);
      return call(tool('write', { filePath: data, content: JSON.stringify(record(company, flaw), null, 2) + '\n' }));
    }],
    ['write', (r) => {
      check(r.output.includes('Wrote file successfully'), `the data record was not written: ${r.output}`);
      return render();
    }],
    ['mkdir -p', (r) => {
      // The same render to a scratch file prints the same line but for the path.
      const scratch = `${c.root}/scratch.html`;
      const direct = c.q9('report', data, '--out', scratch).out.replace(`wrote ${scratch} (`, `wrote ${out} (`);
      check(r.output === direct, `the host returned ${JSON.stringify(r.output)}, q9 prints ${JSON.stringify(direct)}`);
      const failed = r.output.split('\n')[0].endsWith('| gate: FAIL');
      check(!failed || (flaw && r.output.includes('\n  - emoji present: ')), `render result: ${r.output}`);
      return validate();
    }],
    ['q9 validate', (r) => {
      sameAsQ9(c, r, 'validate', out);
      if (r.output.includes('GATE 4 FAILED')) {
        check(flaw, `the gate failed: ${r.output}`);
        return call(tool('read', { filePath: data }));
      }
      check(r.output.includes('GATE 4 PASSED'), `validate: ${r.output}`);
      return call(bash(`q9 record report ${quote(company)} ${file} --version 1`));
    }],
    ['read', (r) => {
      check(r.output.includes(flaw), 'the record read back lacks the flaw the gate named');
      return call(tool('edit', { filePath: data, oldString: flaw, newString: ' Screen result: no hits.', replaceAll: true }));
    }],
    ['edit', (r) => {
      check(!/error/i.test(r.output), `edit: ${r.output}`);
      return render();
    }],
    ['q9 record report', (r) => {
      check(new RegExp(`^recorded -> report for ${company} v1 \\(\\d{4}-\\d\\d-\\d\\d\\)\\n$`).test(r.output),
            `record report: ${JSON.stringify(r.output)}`);
      return say(`Dossier saved to ${out}; GATE 4 PASSED.`);
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
      const last = results[0];
      const what = last.name === 'bash' ? last.args.command : last.name;
      const entry = road.find(([prefix]) => what.startsWith(prefix));
      check(entry, `no next step after ${what}`);
      return entry[1](last, results);
    },

    async stream(t) {
      const name = t.session.slice('stream:'.length);
      const s = STREAMS[name];
      if (t.step === 0) {
        check(await started.arrive(name), 'the stream sub-agents did not start at the same time');
        return call(bash(`q9 streams ${quote(name)}`));
      }
      const [r] = t.results;
      if (t.step === 1) {
        sameAsQ9(c, r, 'streams', name);
        check(await recording.arrive(name), 'the stream sub-agents did not record at the same time');
        // As the brief says: its record line, each text quoted by its rule.
        const q = (x) => quoted(t.firstUser, x);
        return call(bash(s.facts.map(([claim, src, date]) => fill(t.firstUser.match(/^ *(q9 record fact .*)$/m)[1],
          { company: q(company), section: s.section, claim: q(claim), src: q(src), 'YYYY-MM-DD': date })).join(' && ')));
      }
      const expected = s.facts.map(([, , date]) => `recorded -> fact for ${company} [${s.section}] (${date})\n`).join('');
      check(r.output === expected, `record: ${JSON.stringify(r.output)}`);
      return say(`Recorded 2 facts for ${name}.`);
    },
  };
}
