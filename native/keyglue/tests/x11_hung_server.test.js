'use strict';
// The product module when its X server stops answering: a frozen server (a stopped Xvfb), one
// that accepts connections and never answers, one that breaks the connection right after the
// handshake, and one that is gone. Every export must come back while the server still does not
// answer, nothing may reach the callback after stopFnListener, and the process must live on and
// end when it chooses. A child process makes the calls, so that a call that waited for the server
// shows as an answer that never came, not as a stuck test. (How long they take is measured by
// bench/keyglue_bench.js.)
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const { once } = require('node:events');
const fs = require('node:fs');
const net = require('node:net');
const readline = require('node:readline');
const { describe, it } = require('node:test');

const { keyHelperPath, modulePath } = require('./paths');
const { hasXvfb, startServer, stopServer } = require('./x_server');

const skip = !hasXvfb && 'Xvfb is not installed';
// Generous: only a call that waits for the server takes this long.
const kAnswerTimeoutMs = 15000;
// Time for a listener left waiting to deliver what it got once its server runs again.
const kSettleMs = 500;
const kControlL = 59;
// Display numbers tried for the fake servers; Xvfb starts from 0.
const kFakeDisplays = [600, 700];

const kChildScript = `
  const keyglue = require(${JSON.stringify(modulePath)});
  const readline = require('node:readline');
  const events = [];
  const callback = (event) => events.push(event);
  const say = (value) => console.log(JSON.stringify(value));
  keyglue.setTriggerKeyCode(${kControlL});
  const commands = readline.createInterface({ input: process.stdin });
  // A listening addon keeps the process alive: leave the way a host does, at once.
  commands.on('close', () => process.exit(0));
  commands.on('line', (command) => {
    if (command === 'start') {
      say({ started: keyglue.startFnListener(callback), trusted: keyglue.isTrusted() });
    } else if (command === 'calls') {
      say({
        stop: String(keyglue.stopFnListener()),
        trusted: keyglue.isTrusted(true),
        pasted: keyglue.sendPaste(),
        code: keyglue.setTriggerKeyCode(${kControlL}),
        started: keyglue.startFnListener(callback),
      });
    } else if (command === 'events') {
      setTimeout(() => say({ events: events.splice(0) }), ${kSettleMs});
    }
  });
`;

// What the calls answer when the server does not.
const kCallsWithoutAServer = {
  stop: 'undefined',
  trusted: false,
  pasted: true,
  code: kControlL,
  started: false,
};

function within(promise, what) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`${what} within ${kAnswerTimeoutMs} ms`)), kAnswerTimeoutMs);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

// A program whose output lines answer the lines it is given.
class Conversation {
  constructor(command, args, display) {
    this.process = spawn(command, args, {
      env: { ...process.env, DISPLAY: display },
      stdio: ['pipe', 'pipe', 'inherit'],
    });
    this.lines = readline.createInterface({ input: this.process.stdout })[Symbol.asyncIterator]();
  }

  async ask(line) {
    if (line !== undefined) this.process.stdin.write(`${line}\n`);
    const { value } = await within(this.lines.next(), `no answer to ${line}`);
    return value;
  }

  // Closes the input and answers the exit status.
  async end() {
    this.process.stdin.end();
    if (this.process.exitCode === null) await within(once(this.process, 'exit'), 'no exit');
    return this.process.exitCode;
  }

  kill() {
    if (this.process.exitCode === null) this.process.kill('SIGKILL');
  }
}

class Child extends Conversation {
  constructor(display) {
    super(process.execPath, ['-e', kChildScript], display);
  }

  async ask(command) {
    return JSON.parse(await super.ask(command));
  }
}

// Answers a client's connection setup with a server of one 640x480 TrueColor screen, in the
// client's byte order, and breaks the connection at the client's first request: a server that
// dies, or drops the client, just after the handshake.
function dropAfterHandshake(connection) {
  let received = Buffer.alloc(0);
  let answered = false;
  connection.on('data', (chunk) => {
    if (answered) return connection.destroy();
    received = Buffer.concat([received, chunk]);
    if (received.length < 12) return;
    const order = received[0] === 0x42 ? 'BE' : 'LE';
    const padded = (n) => (n + 3) & ~3;
    const u16 = (offset) => received[`readUInt16${order}`](offset);
    if (received.length < 12 + padded(u16(6)) + padded(u16(8))) return;
    const reply = Buffer.alloc(124);
    let at = 0;
    const put = (bytes, value) => {
      if (bytes === 1) reply.writeUInt8(value, at);
      else reply[`writeUInt${bytes * 8}${order}`](value, at);
      at += bytes;
    };
    // Success, protocol 11.0, 29 words follow.
    [[1, 1], [1, 0], [2, 11], [2, 0], [2, 29]].forEach((field) => put(...field));
    // Release, resource ids, motion buffer, vendor length, longest request, 1 screen, 1 format,
    // byte and bit orders, scanline unit and pad, key codes 8 to 255.
    [[4, 1], [4, 0x200000], [4, 0x1fffff], [4, 0], [2, 4], [2, 0xffff], [1, 1], [1, 1]]
      .concat([[1, 0], [1, 0], [1, 32], [1, 32], [1, 8], [1, 255], [4, 0]])
      .forEach((field) => put(...field));
    reply.write('fake', at);
    at += 4;
    // The format: depth 24, 32 bits a pixel, scanlines padded to 32.
    [[1, 24], [1, 32], [1, 32]].forEach((field) => put(...field));
    at += 5;
    // The screen: root, colormap, white and black, input masks, size in pixels and millimetres,
    // colormaps, root visual, backing store, save-unders, depth 24, one depth of one visual.
    [[4, 0x100], [4, 0x20], [4, 0xffffff], [4, 0], [4, 0], [2, 640], [2, 480], [2, 169], [2, 127]]
      .concat([[2, 1], [2, 1], [4, 0x21], [1, 0], [1, 0], [1, 24], [1, 1]])
      .concat([[1, 24], [1, 0], [2, 1], [4, 0]])
      .concat([[4, 0x21], [1, 4], [1, 8], [2, 256], [4, 0xff0000], [4, 0xff00], [4, 0xff], [4, 0]])
      .forEach((field) => put(...field));
    answered = true;
    connection.write(reply);
  });
}

// Takes a display number the way X servers do (a lock file with our pid, which Xvfb respects),
// listens on its socket, and hands every connection to serve; by default it is never answered.
async function startFakeServer(serve = () => {}) {
  for (let number = kFakeDisplays[0]; number < kFakeDisplays[1]; ++number) {
    const lock = `/tmp/.X${number}-lock`;
    const socket = `/tmp/.X11-unix/X${number}`;
    try {
      fs.writeFileSync(lock, `${String(process.pid).padStart(10)}\n`, { flag: 'wx' });
    } catch {
      continue;
    }
    if (fs.existsSync(socket)) {
      fs.rmSync(lock);
      continue;
    }
    const accepted = [];
    const server = net.createServer((connection) => {
      accepted.push(connection);
      connection.on('error', () => {});
      serve(connection);
    });
    await new Promise((resolve, reject) => server.once('error', reject).listen(socket, resolve));
    const close = async () => {
      for (const connection of accepted) connection.destroy();
      await new Promise((resolve) => server.close(resolve));
      fs.rmSync(socket, { force: true });
      fs.rmSync(lock, { force: true });
    };
    return { display: `:${number}`, close };
  }
  throw new Error('no free display number');
}

describe('an X server that does not answer', { skip }, () => {
  it('frozen: every call comes back, nothing arrives after the stop, and the process ends', async () => {
    const x = await startServer();
    // Connected while the server runs: its keys then wait in the server while it is frozen.
    const typist = new Conversation(keyHelperPath, ['timed'], x.display);
    const child = new Child(x.display);
    try {
      await typist.ask('+Shift_R');
      assert.deepEqual(await child.ask('start'), { started: true, trusted: true });
      x.server.kill('SIGSTOP');
      typist.process.stdin.write('+Control_L\n');
      assert.deepEqual(await child.ask('calls'), kCallsWithoutAServer);

      x.server.kill('SIGCONT');
      // The server has handled the trigger's press, and the listener left waiting has its answer.
      await typist.ask();
      assert.deepEqual(await child.ask('events'), { events: [] });

      // A process that ends while its server is frozen does not wait for it either.
      assert.deepEqual(await child.ask('start'), { started: true, trusted: true });
      x.server.kill('SIGSTOP');
      assert.equal(await child.end(), 0);
    } finally {
      child.kill();
      typist.kill();
      await stopServer(x);
    }
  });

  for (const [what, serve] of [
    ['accepting connections and never answering', undefined],
    ['answering the handshake, then breaking the connection', dropAfterHandshake],
  ]) {
    it(`${what}: every call comes back, and the process lives on`, async () => {
      const fake = await startFakeServer(serve);
      const child = new Child(fake.display);
      try {
        assert.deepEqual(await child.ask('calls'), kCallsWithoutAServer);
        assert.equal(await child.end(), 0);
      } finally {
        child.kill();
        await fake.close();
      }
    });
  }

  it('gone: every call comes back', async () => {
    const x = await startServer();
    const child = new Child(x.display);
    try {
      assert.deepEqual(await child.ask('start'), { started: true, trusted: true });
      await stopServer(x);
      assert.deepEqual(await child.ask('calls'), kCallsWithoutAServer);
      assert.equal(await child.end(), 0);
    } finally {
      child.kill();
      await stopServer(x);
    }
  });
});
