// Starts headless Chromium cut off from every network host and drives it over the
// DevTools protocol on a pipe (fd 3 in, fd 4 out, NUL-terminated JSON), so no
// WebSocket client or npm package is needed.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

// Flags that keep the browser from talking to anything: every host name fails to
// resolve, and the background services that would phone home are off.
export const ISOLATION_FLAGS = [
  '--headless',
  '--no-sandbox',
  '--disable-gpu',
  '--host-resolver-rules=MAP * ~NOTFOUND',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
  '--disable-quic',
  '--disable-default-apps',
  '--disable-extensions',
  '--no-first-run',
  '--no-default-browser-check',
  '--hide-scrollbars',
  '--mute-audio',
  '--force-device-scale-factor=1',
];

export class Browser {
  // Launches `executable` with a fresh profile folder; resolves once the protocol answers.
  static async launch(executable, { timeoutMs = 30000 } = {}) {
    const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'q9-browser-profile-'));
    const child = spawn(executable,
      [...ISOLATION_FLAGS, '--remote-debugging-pipe', `--user-data-dir=${profile}`, 'about:blank'],
      { stdio: ['ignore', 'ignore', 'pipe', 'pipe', 'pipe'] });
    const browser = new Browser(child, profile, timeoutMs);
    await browser.send('Browser.getVersion');
    return browser;
  }

  constructor(child, profile, timeoutMs) {
    this.child = child;
    this.profile = profile;
    this.timeoutMs = timeoutMs;
    this.nextId = 1;
    this.pending = new Map();
    this.listeners = [];
    this.stderr = '';
    this.exited = null;
    let buffer = Buffer.alloc(0);
    child.stdio[2].on('data', (chunk) => { this.stderr = (this.stderr + chunk).slice(-20000); });
    child.stdio[4].on('data', (chunk) => {
      buffer = Buffer.concat([buffer, chunk]);
      let end;
      while ((end = buffer.indexOf(0)) >= 0) {
        const message = JSON.parse(buffer.subarray(0, end).toString('utf8'));
        buffer = buffer.subarray(end + 1);
        this._dispatch(message);
      }
    });
    child.stdio[3].on('error', () => {});
    child.on('exit', (code, signal) => {
      this.exited = { code, signal };
      for (const { reject } of this.pending.values()) {
        reject(new Error(`browser exited (${signal ?? code}) before answering; its log ends:\n${this.stderr.slice(-2000)}`));
      }
      this.pending.clear();
    });
    child.on('error', (err) => {
      for (const { reject } of this.pending.values()) reject(err);
      this.pending.clear();
    });
  }

  _dispatch(message) {
    if (message.id !== undefined) {
      const waiter = this.pending.get(message.id);
      if (!waiter) return;
      this.pending.delete(message.id);
      clearTimeout(waiter.timer);
      if (message.error) {
        waiter.reject(new Error(`${waiter.method}: ${message.error.message}`));
      } else {
        waiter.resolve(message.result);
      }
      return;
    }
    for (const listener of [...this.listeners]) listener(message);
  }

  // Sends one protocol command; `sessionId` addresses a page attached with flatten.
  send(method, params = {}, sessionId = undefined) {
    if (this.exited) return Promise.reject(new Error(`browser already exited, cannot send ${method}`));
    const id = this.nextId++;
    const message = { id, method, params };
    if (sessionId) message.sessionId = sessionId;
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.pending.delete(id);
        reject(new Error(`${method}: no answer within ${this.timeoutMs} ms`));
      }, this.timeoutMs);
      this.pending.set(id, { resolve, reject, timer, method });
      this.child.stdio[3].write(JSON.stringify(message) + '\0');
    });
  }

  // Calls `fn(message)` for every event; returns a function that removes it.
  on(fn) {
    this.listeners.push(fn);
    return () => { this.listeners = this.listeners.filter((l) => l !== fn); };
  }

  // Resolves with the first event named `method` of `sessionId` that `accept` takes.
  waitFor(method, sessionId, accept = () => true) {
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => { off(); reject(new Error(`no ${method} within ${this.timeoutMs} ms`)); },
        this.timeoutMs);
      const off = this.on((m) => {
        if (m.method === method && m.sessionId === sessionId && accept(m.params)) {
          clearTimeout(timer);
          off();
          resolve(m.params);
        }
      });
    });
  }

  async close() {
    if (!this.exited) {
      const gone = new Promise((resolve) => this.child.once('exit', resolve));
      this.send('Browser.close').catch(() => {});
      const timer = setTimeout(() => this.child.kill('SIGKILL'), 5000);
      await gone;
      clearTimeout(timer);
    }
    fs.rmSync(this.profile, { recursive: true, force: true });
  }
}

// One page target with the domains the checks listen to.
export class Page {
  static async open(browser) {
    const { targetId } = await browser.send('Target.createTarget', { url: 'about:blank' });
    const { sessionId } = await browser.send('Target.attachToTarget', { targetId, flatten: true });
    const page = new Page(browser, sessionId);
    await Promise.all(['Page.enable', 'Network.enable', 'Runtime.enable', 'Log.enable']
      .map((m) => page.send(m)));
    return page;
  }

  constructor(browser, sessionId) {
    this.browser = browser;
    this.sessionId = sessionId;
    this.requests = [];      // every request the page started, with how it ended
    this.exceptions = [];    // uncaught script errors
    this.consoleErrors = []; // console and browser log lines of level error
    const byId = new Map();
    browser.on((m) => {
      if (m.sessionId !== sessionId) return;
      const p = m.params;
      switch (m.method) {
        case 'Network.requestWillBeSent': {
          const entry = { url: p.request.url, type: p.type ?? '', failed: null };
          byId.set(p.requestId, entry);
          this.requests.push(entry);
          break;
        }
        case 'Network.loadingFailed': {
          const entry = byId.get(p.requestId);
          if (entry) entry.failed = p.errorText;
          break;
        }
        case 'Runtime.exceptionThrown': {
          const d = p.exceptionDetails;
          this.exceptions.push(`${d.exception?.description ?? d.text} (line ${d.lineNumber + 1})`);
          break;
        }
        case 'Runtime.consoleAPICalled':
          if (p.type === 'error') {
            this.consoleErrors.push(p.args.map((a) => a.value ?? a.description ?? '').join(' '));
          }
          break;
        case 'Log.entryAdded':
          if (p.entry.level === 'error') this.consoleErrors.push(`${p.entry.text} ${p.entry.url ?? ''}`.trim());
          break;
        default:
          break;
      }
    });
  }

  send(method, params = {}) { return this.browser.send(method, params, this.sessionId); }

  async setViewport(width, height) {
    await this.send('Emulation.setDeviceMetricsOverride',
      { width, height, deviceScaleFactor: 1, mobile: false });
  }

  // Navigates and waits for the load event, then lets late failures settle.
  async load(url) {
    const loaded = this.browser.waitFor('Page.loadEventFired', this.sessionId);
    const nav = await this.send('Page.navigate', { url });
    if (nav.errorText) throw new Error(`cannot open ${url}: ${nav.errorText}`);
    await loaded;
    await this.evaluate('new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))');
    await new Promise((r) => setTimeout(r, 150));
  }

  // Evaluates an expression in the page and returns its value (promises awaited).
  async evaluate(expression) {
    const r = await this.send('Runtime.evaluate',
      { expression, returnByValue: true, awaitPromise: true });
    if (r.exceptionDetails) {
      const d = r.exceptionDetails;
      throw new Error(`page evaluation failed: ${d.exception?.description ?? d.text}`);
    }
    return r.result.value;
  }

  // Writes a PNG of the viewport, or of the whole page with `fullPage`.
  async screenshot(file, { fullPage = false } = {}) {
    const params = { format: 'png' };
    if (fullPage) params.captureBeyondViewport = true;
    if (fullPage) {
      const { cssContentSize } = await this.send('Page.getLayoutMetrics');
      params.clip = { x: 0, y: 0, width: cssContentSize.width, height: cssContentSize.height, scale: 1 };
    }
    const { data } = await this.send('Page.captureScreenshot', params);
    fs.writeFileSync(file, Buffer.from(data, 'base64'));
  }
}
