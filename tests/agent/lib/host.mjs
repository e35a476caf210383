// The real opencode host, run headless the way a user runs the installed agent, with
// nothing of the machine's own: a fresh home, XDG folders and configuration directory
// per case, q9-install's files as they are, and the scripted model as the only provider.
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

export const HOST_VERSION = '1.18.33';

// The pinned host in the cache folder that the provisioning step fills.
export function opencodeIn(cache) {
  const bin = path.join(cache, 'node_modules', '.bin', 'opencode');
  const manifest = path.join(cache, 'node_modules', 'opencode-ai', 'package.json');
  let version = '';
  try {
    version = JSON.parse(fs.readFileSync(manifest, 'utf8')).version;
  } catch (e) { /* reported below */ }
  if (!fs.existsSync(bin) || version !== HOST_VERSION) {
    throw new Error(`opencode-ai@${HOST_VERSION} is not in ${cache}; run tests/agent/provision.sh ${cache}`);
  }
  return bin;
}

function executableOnPath(name) {
  for (const dir of (process.env.PATH ?? '').split(':')) {
    const p = path.join(dir || '.', name);
    try {
      fs.accessSync(p, fs.constants.X_OK);
      return p;
    } catch (e) { /* next */ }
  }
  return null;
}

const DISABLED = ['MODELS_FETCH', 'AUTOUPDATE', 'SHARE', 'LSP_DOWNLOAD', 'DEFAULT_PLUGINS',
                  'CLAUDE_CODE', 'EXTERNAL_SKILLS', 'PROJECT_CONFIG'];

export class Case {
  // q9, q9install: the built programs; opencode: the host's executable; programs: more
  // programs (q9-screen, q9-audit) whose folders go on the agent's PATH; env: more
  // variables for the host and so the agent's shell (the screen's list addresses).
  constructor({ name, q9, q9install, opencode, programs = [], env = {} }) {
    this.root = fs.mkdtempSync(path.join(os.tmpdir(), `agent-road-${name}-`));
    this.q9path = path.resolve(q9);
    this.q9install = path.resolve(q9install);
    this.opencode = opencode;
    this.home = this.dir('home');
    this.cfg = path.join(this.root, 'cfg');
    this.work = this.dir('work');
    this.configFile = path.join(this.root, 'opencode.json');
    const rg = executableOnPath('rg');
    if (!rg) throw new Error('rg (Debian package ripgrep) is not on PATH; the host needs it for skills');
    this.env = {
      PATH: [path.dirname(this.q9path), ...programs.map((p) => path.dirname(path.resolve(p))), path.dirname(rg), '/usr/bin', '/bin'].join(':'),
      HOME: this.home,
      LANG: 'C.UTF-8',
      OPENCODE_CONFIG_DIR: this.cfg,
      OPENCODE_CONFIG: this.configFile,
      ...env,
    };
    for (const xdg of ['CONFIG', 'DATA', 'CACHE', 'STATE']) this.env[`XDG_${xdg}_HOME`] = this.dir(`xdg-${xdg.toLowerCase()}`);
    for (const what of DISABLED) this.env[`OPENCODE_DISABLE_${what}`] = '1';
  }

  dir(name) {
    const d = path.join(this.root, name);
    fs.mkdirSync(d, { recursive: true });
    return d;
  }

  // q9-install --config-only, as a user runs it: the host's files and nothing else.
  install() {
    const r = spawnSync(this.q9install, ['--config-only'], { env: this.env, encoding: 'utf8', timeout: 30000 });
    if (r.error || r.status !== 0) {
      throw new Error(`q9-install --config-only: ${r.error?.message ?? `exited ${r.status}: ${r.stderr}`}`);
    }
  }

  // The test's own host configuration: the scripted model as the one provider and model.
  configure(port) {
    const config = {
      $schema: 'https://opencode.ai/config.json',
      provider: {
        scripted: {
          npm: '@ai-sdk/openai-compatible',
          name: 'Scripted model',
          options: { baseURL: `http://127.0.0.1:${port}/v1`, apiKey: 'test' },
          models: { agent: { name: 'Scripted agent', tool_call: true } },
        },
      },
      model: 'scripted/agent',
      small_model: 'scripted/agent',
      enabled_providers: ['scripted'],
    };
    fs.writeFileSync(this.configFile, JSON.stringify(config, null, 2) + '\n');
  }

  // `q9 ARGS` in the case's environment, as the agent's shell would run it.
  q9(...args) {
    const r = spawnSync(this.q9path, args, { env: this.env, encoding: 'utf8', timeout: 30000 });
    return { status: r.status, out: r.stdout, err: r.stderr };
  }

  // `opencode ARGS --print-logs`; resolves with status, output and log once it exits.
  run(args, timeoutMs) {
    return new Promise((resolve, reject) => {
      const child = spawn(this.opencode, [...args, '--print-logs'], {
        cwd: this.work, env: this.env, stdio: ['ignore', 'pipe', 'pipe'], detached: true,
      });
      let out = '';
      let log = '';
      child.stdout.on('data', (c) => (out += c));
      child.stderr.on('data', (c) => (log += c));
      const timer = setTimeout(() => {
        try {
          process.kill(-child.pid, 'SIGKILL');
        } catch (e) { /* gone */ }
        reject(new Error(`opencode ${args.join(' ')} ran past ${timeoutMs} ms; log:\n${log.slice(-4000)}`));
      }, timeoutMs);
      child.on('error', reject);
      child.on('close', (status) => {
        clearTimeout(timer);
        resolve({ status, out, log });
      });
    });
  }

  remove() {
    fs.rmSync(this.root, { recursive: true, force: true });
  }
}
