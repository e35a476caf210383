// The road of one dossier inside the real opencode host, as q9-install --config-only
// leaves it: `opencode run --command varnook-q9 <company>`, headless, with a scripted
// model that plays a careful agent and three stream sub-agents. No permission is
// overridden and nothing is auto-approved; a run is judged by what the host sent the
// model, the tool results in it, the host's log and the files, never by its exit status.
//
// Usage: node road.mjs --case road|mend|update --q9 Q9 --q9-install Q9_INSTALL --cache DIR
//          [--q9-screen Q9_SCREEN] [--q9-audit Q9_AUDIT] [--out DIR]
// q9-screen and q9-audit are put on the agent's PATH when given; without them the agent
// takes the text's way for a program that is not installed.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { CONTRADICTION, STREAMS, dossierScripts, record, slug } from './lib/agent.mjs';
import { Case, opencodeIn } from './lib/host.mjs';
import { ScriptedModel, say } from './lib/model.mjs';

function parseArgs(argv) {
  const args = {};
  for (let i = 0; i < argv.length; i += 2) {
    if (!argv[i].startsWith('--') || i + 1 >= argv.length) throw new Error(`bad argument ${argv[i]}`);
    args[argv[i].slice(2)] = argv[i + 1];
  }
  for (const need of ['case', 'q9', 'q9-install', 'cache']) if (!args[need]) throw new Error(`--${need} is required`);
  return args;
}

const args = parseArgs(process.argv.slice(2));
const PROGRAMS = ['q9-screen', 'q9-audit'].filter((p) => args[p]).map((p) => args[p]);
const AGENT_FILE = 'agent/varnook-q9-agent.md';
const COMMAND_FILE = 'command/varnook-q9.md';

// The text after a file's front matter.
function body(file) {
  const text = fs.readFileSync(file, 'utf8');
  return text.slice(text.indexOf('\n---\n', 3) + 5);
}

// Tells the sessions apart: the title generator, the agent (its text is the system
// prompt) and the sub-agents (their brief opens with the stream's name).
function identify(turn) {
  if (turn.system.startsWith('You are a title generator')) return 'title';
  if (turn.system.includes('You are Varnook Q9 Agent.')) return 'agent';
  const stream = Object.keys(STREAMS).find((s) => turn.firstUser.startsWith(`Stream: ${s}\n`));
  return stream ? `stream:${stream}` : null;
}

// With q9-screen, its lists come from the screen suite's fixture server on loopback; the UK
// list answers 404, so that one list is never read and must never be called clear.
async function listServer() {
  const dir = path.join(path.dirname(fileURLToPath(import.meta.url)), '..', 'screen');
  const child = spawn('python3', [path.join(dir, 'list_server.py'), path.join(dir, 'fixtures')], { stdio: ['ignore', 'pipe', 'inherit'] });
  process.on('exit', () => child.kill());
  // Its port line may come in pieces; the pipe stays open (a closed one would end the
  // server at its next write) but holds no test run open.
  const port = await new Promise((resolve, reject) => {
    let out = '';
    child.once('error', reject);
    child.once('exit', (status) => reject(new Error(`the list server exited with status ${status}`)));
    child.stdout.on('data', (d) => {
      out += d;
      if (out.includes('\n')) resolve(out.trim());
    });
  });
  child.unref();
  child.stdout.unref();
  const files = { OFAC_SDN: 'ok/ofac-sdn.csv', OFAC_ALT: 'ok/ofac-alt.csv', UN: 'ok/un.xml', UK: '404/uk.csv', EU: 'ok/eu.csv', ICIJ: 'ok/icij.zip' };
  return Object.fromEntries(Object.entries(files).map(([list, at]) => [`Q9_SCREEN_URL_${list}`, `http://127.0.0.1:${port}/${at}`]));
}
const LIST_URLS = args['q9-screen'] ? await listServer() : {};

function newCase(name) {
  return new Case({ name, q9: args.q9, q9install: args['q9-install'], opencode: opencodeIn(args.cache), programs: PROGRAMS, env: LIST_URLS });
}

// Runs one dossier of `company` in case `c` (a fresh one when not given, installed);
// returns what the checks need. `run` numbers the runs of one case for --out.
async function drive(company, options = {}, c = null, run = 1) {
  if (!c) {
    c = newCase(args.case);
    c.install();
  }
  const model = new ScriptedModel({
    identify,
    scripts: { title: () => say(`${company} dossier`),
               ...dossierScripts(c, company, { ...options, screen: !!args['q9-screen'], audit: !!args['q9-audit'] }) },
  });
  c.configure(await model.listen());
  const started = Date.now();
  let result;
  try {
    result = await c.run(['run', '--command', 'varnook-q9', company], 100000);
  } finally {
    await model.close();
  }
  const seconds = (Date.now() - started) / 1000;
  if (args.out) {
    const dir = path.join(args.out, run > 1 ? `${args.case}-${run}` : args.case);
    fs.rmSync(dir, { recursive: true, force: true });
    fs.mkdirSync(dir, { recursive: true });
    fs.writeFileSync(path.join(dir, 'requests.json'), JSON.stringify(model.requests, null, 1));
    fs.writeFileSync(path.join(dir, 'host.log'), result.log);
  }
  return { c, model, run: result, seconds };
}

// What the host offered and sent, for the record of the run.
function describe(model, seconds) {
  const first = (session) => model.of(session)[0]?.body;
  const tools = (b) => (b?.tools ?? []).map((t) => t.function.name).join(', ');
  const agent = first('agent');
  const sub = first(model.sessions('stream:')[0]);
  const system = agent?.messages.find((m) => m.role === 'system')?.content ?? '';
  console.log(`# run time: ${seconds.toFixed(1)} s; requests: ${model.requests.length}; sessions: ${model.sessions().join(' | ')}`);
  console.log(`# agent system prompt opens: ${JSON.stringify(system.slice(0, 120))}`);
  console.log(`# tools offered to the agent: ${tools(agent)}`);
  console.log(`# tools offered to a sub-agent: ${tools(sub)}`);
}

// The work folders this user's runs left, so that each check can remove its own.
const workFolders = (company) => fs.readdirSync('/tmp').filter((d) => d.startsWith(`q9-${slug(company)}-`)).map((d) => `/tmp/${d}`);

// Checks one run of the road; `version` is the dossier it must write, `known` the name
// memory holds the company under, `facts` how many facts memory must hold after it.
async function checkRoad(company, options = {}, { c: given = null, version = 1, known = company, facts = args['q9-audit'] ? 7 : 6, run: n = 1 } = {}) {
  const before = new Set(workFolders(known));
  const { c, model, run, seconds } = await drive(company, options, given, n);
  const work = workFolders(known).filter((d) => !before.has(d));
  try {
    describe(model, seconds);
    assert.deepEqual(model.problems, [], `the scripted model stopped:\n${model.problems.join('\n')}\nlog tail:\n${run.log.slice(-3000)}`);
    assert.doesNotMatch(run.log, /auto-rejecting|rejected permission/i, 'a permission was refused');

    // The agent ran in the command's session with its text as the system prompt and the
    // command template expanded with the company.
    const agent = model.of('agent');
    assert.ok(agent.length > 0, 'the agent never spoke');
    const system = agent[0].body.messages.find((m) => m.role === 'system').content;
    assert.ok(system.startsWith(body(path.join(c.cfg, AGENT_FILE)).trim()), 'the system prompt is not the agent text');
    const expanded = body(path.join(c.cfg, COMMAND_FILE)).replaceAll('$ARGUMENTS', `"${company}"`).trim();
    const firstUser = agent[0].body.messages.find((m) => m.role === 'user').content;
    assert.equal(typeof firstUser === 'string' ? firstUser.trim() : firstUser, expanded);
    assert.match(system, new RegExp(`<name>q9-research</name>[^]*<location>${c.cfg}/skills/q9-research/SKILL.md</location>`),
                 'the skill is not listed');
    for (const name of ['task', 'skill', 'bash', 'write']) {
      assert.ok(agent[0].body.tools.some((t) => t.function.name === name), `the agent was not offered ${name}`);
    }

    // Three sub-agents, each its own session, all of them finished.
    const streams = model.sessions('stream:');
    assert.deepEqual(streams.sort(), Object.keys(STREAMS).map((s) => `stream:${s}`).sort());
    for (const s of streams) assert.equal(model.of(s).at(-1).step, 2, `${s} did not finish`);

    // Every sub-agent's facts are in the store, and so is the report, under the name
    // memory knew.
    const recall = JSON.parse(c.q9('memory', 'recall', known).out);
    assert.equal(recall.fact_count, facts);
    for (const { section, facts } of Object.values(STREAMS)) {
      assert.deepEqual(recall.facts[section].map((f) => f.claim).sort(), facts.map((f) => f[0]).sort(), section);
    }
    const dossier = `${c.home}/Desktop/q9-reports/${slug(known)}-report${version > 1 ? `-v${version}` : ''}.html`;
    assert.deepEqual(recall.reports.map((r) => r.version), [...Array(version).keys()].map((i) => i + 1));
    assert.equal(recall.reports.at(-1).path, dossier);

    // The run made one work folder of its own, and the dossier is in the save folder
    // with its data file beside it and passes the gate.
    assert.equal(work.length, 1, `work folders: ${work.join(' ')}`);
    assert.ok(fs.existsSync(`${work[0]}/data.json`));
    assert.equal(fs.readFileSync(dossier.replace(/\.html$/, '.json'), 'utf8'), fs.readFileSync(`${work[0]}/data.json`, 'utf8'));
    const gate = c.q9('validate', dossier);
    assert.equal(gate.status, 0, gate.out);
    assert.match(gate.out, /GATE 4 PASSED/);
    const data = JSON.parse(fs.readFileSync(`${work[0]}/data.json`, 'utf8'));
    const section = (id) => data.sections.find((s) => s.id === id).body_html;
    if (args['q9-screen']) {
      // Each list read is recorded clear under its name; the one the screen could not read
      // never is, and both sections say it was not screened and why.
      const screens = recall.negatives.map((x) => x.note).filter((x) => x.startsWith('Sanctions screen '));
      for (const list of ['OFAC SDN', 'UN Consolidated', 'EU Consolidated', 'ICIJ Offshore Leaks']) {
        assert.ok(screens.some((x) => x.includes(`: no match on ${list} as of `) && x.endsWith(`for ${known}, ${known} N.V., Maria Lindqvist`)), `${list}: ${screens.join(' | ')}`);
      }
      assert.ok(!screens.some((x) => x.includes('UK Sanctions List')), screens.join(' | '));
      for (const id of ['screening', 'methodology']) assert.match(section(id), /UK Sanctions List: not screened \(HTTP 404\)/, id);
      assert.match(section('screening'), /Maria Lindqvist; result: no match\./);
    }
    if (args['q9-audit']) {
      // The audit kept beside the dossier finds every figure sourced; its counts are in methodology.
      const kept = JSON.parse(fs.readFileSync(dossier.replace(/\.html$/, '.audit.json'), 'utf8'));
      assert.equal(kept.counts.unsourced, 0);
      assert.ok(section('methodology').includes(`figures: ${kept.counts.figures}, sourced: ${kept.counts.sourced},`), section('methodology'));
    }
    return { c, model, run, recall, data };
  } finally {
    if (!given) c.remove();
    for (const d of work) fs.rmSync(d, { recursive: true, force: true });
  }
}

if (args.case === 'road') {
  test('the agent runs the whole road of one dossier with three parallel streams', async () => {
    const { model, data } = await checkRoad('Acme Holdings');
    // The host resends the conversation, so count the distinct results.
    const results = (pattern) => [...new Map(model.of('agent').flatMap((r) => r.body.messages)
      .filter((m) => m.role === 'tool' && pattern.test(m.content)).map((m) => [m.tool_call_id, m.content])).values()];
    if (args['q9-screen']) {
      // The list that failed to download was tried once more, alone; the company's partial
      // hit on the leaks archive is ruled out by its attributes.
      assert.equal(results(/q9-screen: exit status \d+\n?$/).length, 2);
      assert.match(data.sections.find((s) => s.id === 'screening').body_html,
                   /ICIJ Offshore Leaks entry 10000001 \(NORTHWIND HOLDINGS LIMITED\) is a partial match on Acme Holdings: ruled out, another name, entity of Thailand, British Virgin Islands/);
    }
    if (args['q9-audit']) {
      // The planted figure failed the audit until its fact was recorded.
      assert.deepEqual(results(/q9-audit: exit status \d+\n?$/).map((x) => x.match(/(\d+)\n?$/)[1]), ['1', '0']);
    }
  });

  // The agent text names the marks the gate allows and the pictographs it refuses; the
  // gate is the judge of both lists.
  test('the marks the agent text allows pass the gate, the ones it warns of fail', () => {
    const c = newCase('marks');
    try {
      c.install();
      const text = body(path.join(c.cfg, AGENT_FILE));
      // The marks after `after`, up to the end of its sentence or parenthesis.
      const list = (after) => {
        const at = text.indexOf(after);
        assert.ok(at >= 0, `the agent text lacks "${after}"`);
        return text.slice(at + after.length).split(/[.)\n]/)[0].match(/[^\s,:A-Za-z]/gu);
      };
      const gate = (marks) => {
        const file = path.join(c.root, 'marks.json');
        fs.writeFileSync(file, JSON.stringify(record('Acme Holdings', `<p>${marks.join(' ')}</p>`)));
        return c.q9('report', file, '--out', path.join(c.root, 'marks.html')).out;
      };
      const allowed = list('The only marks allowed are ');
      assert.ok(allowed.length >= 5, allowed.join(' '));
      assert.match(gate(allowed), /\| gate: PASS\n$/);
      for (const mark of list('check marks and warning signs too (')) {
        assert.match(gate([mark]), /\| gate: FAIL\n  - emoji present: /, mark);
      }
    } finally {
      c.remove();
    }
  });
} else if (args.case === 'mend') {
  test('a dossier that fails the gate is mended from the error lines and rendered again', async () => {
    const flaw = ' Screen result: \u2713 clear';
    const { model } = await checkRoad('Borealis Freight', { flaw });
    const renders = model.of('agent').flatMap((r) => r.body.messages)
      .filter((m) => m.role === 'tool' && /^wrote .*\| gate: (PASS|FAIL)/.test(m.content));
    // The host resends the conversation, so take the distinct render results: one failed
    // render, then passing ones only (the audit's rounds render again).
    const verdicts = [...new Map(renders.map((m) => [m.tool_call_id, m.content.match(/gate: (PASS|FAIL)/)[1]])).values()];
    assert.deepEqual(verdicts, ['FAIL', ...Array(verdicts.length - 1).fill('PASS')]);
    assert.ok(verdicts.length >= 2, verdicts.join(' '));
  });
} else if (args.case === 'update') {
  // A refresh typed without the umlaut: memory keeps accents apart, so the agent must find
  // the first dossier through the list, write version 2 beside it and leave version 1 be.
  test('a refresh under another spelling finds the first dossier and writes version 2 beside it', async () => {
    const c = newCase('update');
    try {
      c.install();
      await checkRoad('Siam Müller Logistics', {}, { c });
      const first = ['.html', '.json', ...(args['q9-audit'] ? ['.audit.json'] : [])].map((ext) => `${c.home}/Desktop/q9-reports/siam-muller-logistics-report${ext}`);
      const kept = first.map((f) => fs.readFileSync(f));

      const { model, recall } = await checkRoad('Siam Muller Logistics', {}, { c, version: 2, known: 'Siam Müller Logistics', run: 2 });
      first.forEach((f, i) => assert.ok(fs.readFileSync(f).equals(kept[i]), `${f} was changed`));
      assert.equal(recall.reports[0].path, first[0]);
      assert.deepEqual(c.q9('memory', 'list').out.split('\n').filter(Boolean).map((l) => l.split(/ {2,}/)[0]), ['Siam Müller Logistics']);

      // The briefs carried the first version's date, and a sub-agent's contradiction with a
      // topic of two words was recorded as one topic.
      const briefs = model.sessions('stream:').map((s) => model.of(s)[0].body.messages.find((m) => m.role === 'user').content);
      for (const b of briefs) assert.match(JSON.stringify(b), new RegExp(`Since: ${recall.reports[0].date}`));
      assert.deepEqual(recall.contradictions.map((x) => [x.topic, x.text]), [CONTRADICTION]);
    } finally {
      c.remove();
    }
  });
} else {
  throw new Error(`unknown case ${args.case}`);
}
