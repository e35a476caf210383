// A scripted stand-in for the model: an OpenAI-compatible chat-completions server on
// loopback that answers the host's streamed requests from one script per session.
//
// The host sends the whole conversation with every request, so a script is a function of
// that conversation: `identify` names the session a request belongs to (by its system
// prompt or first message) and the session's script decides the next reply from the
// number of replies it has given so far and the tool results it got back.
import http from 'node:http';

// The text of a message's content, which the host sends as a string or as parts.
export function textOf(content) {
  if (typeof content === 'string') return content;
  if (Array.isArray(content)) return content.map((p) => (typeof p === 'string' ? p : p.text ?? '')).join('');
  return '';
}

// What a script sees of one request.
export class Turn {
  constructor(session, body) {
    this.session = session;
    this.body = body;
    this.messages = body.messages ?? [];
    this.system = this.messages.filter((m) => m.role === 'system').map((m) => textOf(m.content)).join('\n');
    this.firstUser = textOf(this.messages.find((m) => m.role === 'user')?.content);
    this.step = this.messages.filter((m) => m.role === 'assistant').length;
    this.tools = (body.tools ?? []).map((t) => t.function?.name);
  }

  // The tool calls of the last reply with their results, in the order they were made.
  get results() {
    const last = this.messages.findLastIndex((m) => m.role === 'assistant');
    if (last < 0) return [];
    const calls = this.messages[last].tool_calls ?? [];
    return calls.map((call) => {
      const answer = this.messages.slice(last + 1).find((m) => m.role === 'tool' && m.tool_call_id === call.id);
      let args = {};
      try {
        args = JSON.parse(call.function.arguments || '{}');
      } catch (e) { /* left empty */ }
      return { name: call.function.name, args, output: answer ? textOf(answer.content) : undefined };
    });
  }
}

// Replies a script returns.
export const say = (text) => ({ text });
export const call = (...calls) => ({ calls });
export const tool = (name, args) => ({ name, args });
export const bash = (command, description = 'Runs ' + command.split(' ').slice(0, 3).join(' ')) =>
  tool('bash', { command, description });

function sse(res, payload) {
  res.write('data: ' + JSON.stringify(payload) + '\n\n');
}

function stream(res, id, reply) {
  res.writeHead(200, { 'content-type': 'text/event-stream', 'cache-control': 'no-cache', connection: 'close' });
  const chunk = (delta, finish = null) =>
    sse(res, { id, object: 'chat.completion.chunk', created: 0, model: 'scripted',
               choices: [{ index: 0, delta, finish_reason: finish }] });
  if (reply.calls?.length) {
    chunk({ role: 'assistant', content: null });
    reply.calls.forEach((c, index) =>
      chunk({ tool_calls: [{ index, id: `${id}_${index}`, type: 'function',
                             function: { name: c.name, arguments: JSON.stringify(c.args) } }] }));
    chunk({}, 'tool_calls');
  } else {
    chunk({ role: 'assistant', content: reply.text ?? '' });
    chunk({}, 'stop');
  }
  sse(res, { id, object: 'chat.completion.chunk', created: 0, model: 'scripted', choices: [],
             usage: { prompt_tokens: 1, completion_tokens: 1, total_tokens: 2 } });
  res.write('data: [DONE]\n\n');
  res.end();
}

export class ScriptedModel {
  // identify(turnLike) -> session name or null; scripts: { name: async (turn) => reply }.
  constructor({ identify, scripts }) {
    this.identify = identify;
    this.scripts = scripts;
    this.requests = []; // { session, step, body }
    this.problems = []; // what went wrong on the model's side, for the test to report
    this.server = http.createServer((req, res) => this.#handle(req, res));
  }

  listen() {
    return new Promise((resolve, reject) => {
      this.server.once('error', reject);
      this.server.listen(0, '127.0.0.1', () => resolve(this.server.address().port));
    });
  }

  close() {
    this.server.closeAllConnections?.();
    return new Promise((resolve) => this.server.close(() => resolve()));
  }

  sessions(prefix = '') {
    return [...new Set(this.requests.map((r) => r.session).filter((s) => s.startsWith(prefix)))];
  }

  of(session) {
    return this.requests.filter((r) => r.session === session);
  }

  #handle(req, res) {
    let raw = '';
    req.setEncoding('utf8');
    req.on('data', (c) => (raw += c));
    req.on('end', async () => {
      if (req.method !== 'POST' || !req.url.endsWith('/chat/completions')) {
        this.problems.push(`unexpected request ${req.method} ${req.url}`);
        res.writeHead(404).end();
        return;
      }
      let body;
      try {
        body = JSON.parse(raw);
      } catch (e) {
        this.problems.push(`request body is not JSON: ${e.message}`);
        res.writeHead(400).end();
        return;
      }
      const probe = new Turn('', body);
      const session = this.identify(probe) ?? 'unknown';
      const turn = new Turn(session, body);
      this.requests.push({ session, step: turn.step, body });
      const script = this.scripts[session.split(':')[0]];
      let reply;
      try {
        if (!script) throw new Error(`no script for a session opening "${turn.firstUser.slice(0, 80)}"`);
        reply = await script(turn);
      } catch (e) {
        this.problems.push(`${session} step ${turn.step}: ${e.message}`);
        reply = say(`scripted model failed: ${e.message}`);
      }
      stream(res, `chatcmpl_${this.requests.length}`, reply);
    });
  }
}

// Resolves once `count` parties have arrived, or after `ms` with false: proves that
// sessions ran at the same time without hanging the test when they do not.
export class Barrier {
  constructor(count, ms) {
    this.count = count;
    this.ms = ms;
    this.arrived = new Set();
    this.waiters = [];
  }

  arrive(who) {
    this.arrived.add(who);
    if (this.arrived.size >= this.count) this.waiters.splice(0).forEach((w) => w(true));
    if (this.arrived.size >= this.count) return Promise.resolve(true);
    return new Promise((resolve) => {
      this.waiters.push(resolve);
      setTimeout(() => resolve(false), this.ms).unref();
    });
  }
}
