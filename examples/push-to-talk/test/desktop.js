'use strict';
// A private desktop for running the reference host end to end: an Xvfb with openbox, a
// PulseAudio server of our own (scripts/pulse-server: a virtual microphone "kavri_mic" fed by
// the null sink "kavri_mic_in"), a focused window that records what it receives
// (keysend_target), and the host itself. Nothing is shared with other tests, so keys, focus,
// clipboard and microphone cannot cross. Used by the end-to-end test and the benchmark.
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');

const repository = path.join(__dirname, '..', '..', '..');
const buildDir = path.join(repository, 'build', 'default');
// Given by ctest for the preset it runs; otherwise the default build.
const paths = {
  transcriber: process.env.KAVRI_TRANSCRIBE || path.join(buildDir, 'transcriber', 'kavri-transcribe'),
  keysend: process.env.KAVRI_KEYSEND || path.join(buildDir, 'keysend', 'kavri-keysend'),
  target: process.env.KEYSEND_TARGET || path.join(buildDir, 'keysend', 'tests', 'keysend_target'),
  keyglue: process.env.KEYGLUE_MODULE || path.join(buildDir, 'native', 'keyglue', 'keyglue.node'),
};
const kGoForward = '/usr/share/pocketsphinx/test/data/goforward.raw';
// Generous: the machine may be shared and loaded.
const kStartTimeoutMs = 60000;
const kWaitTimeoutMs = 60000;
const kPollMs = 20;
const kToolTimeoutMs = 10000;

/**
 * Polls until condition() gives a truthy value, which it returns.
 * @template T
 * @param {() => T} condition
 * @param {string} what for the error at the time-out
 * @returns {Promise<T>}
 */
async function waitFor(condition, what, timeoutMs = kWaitTimeoutMs, pollMs = kPollMs) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = condition();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, pollMs));
  }
}

function exited(child) {
  return new Promise((resolve) => {
    if (child.exitCode !== null || child.signalCode !== null) resolve(child.exitCode);
    else child.once('exit', (status) => resolve(status));
  });
}

function alive(pid) {
  try {
    return !/\) Z /.test(fs.readFileSync(`/proc/${pid}/stat`, 'utf8'));
  } catch {
    return false;
  }
}

// The child processes of pid, from every thread's list.
function childrenOf(pid) {
  const tasks = fs.readdirSync(`/proc/${pid}/task`);
  return tasks.flatMap((task) =>
    fs.readFileSync(`/proc/${pid}/task/${task}/children`, 'utf8').split(' ').filter(Boolean).map(Number),
  );
}

class Desktop {
  constructor() {
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kavri-push-to-talk.'));
    this.children = [];
    this.env = { ...process.env, HOME: this.dir, XDG_RUNTIME_DIR: this.dir, XDG_CONFIG_HOME: this.dir };
    delete this.env.LD_PRELOAD;
    this.eventsFile = path.join(this.dir, 'target', 'events');
  }

  static async start() {
    const desktop = new Desktop();
    try {
      await desktop.startX();
      await desktop.startAudio();
      await desktop.startTarget();
    } catch (error) {
      await desktop.stop();
      throw error;
    }
    return desktop;
  }

  spawn(argv, options = {}) {
    const child = spawn(argv[0], argv.slice(1), { env: this.env, stdio: 'ignore', ...options });
    this.children.push(child);
    return child;
  }

  run(argv) {
    const result = spawnSync(argv[0], argv.slice(1), { env: this.env, encoding: 'utf8', timeout: kToolTimeoutMs });
    return result.status === 0 ? result.stdout : null;
  }

  async startX() {
    // -displayfd picks a free display and writes its number once the server accepts clients.
    const server = this.spawn(['Xvfb', '-displayfd', '3', '-screen', '0', '1280x800x24', '-nolisten', 'tcp'], {
      stdio: ['ignore', 'ignore', 'ignore', 'pipe'],
    });
    const number = await new Promise((resolve, reject) => {
      readline.createInterface({ input: server.stdio[3] }).once('line', resolve);
      server.once('exit', () => reject(new Error('Xvfb did not start')));
    });
    this.env.DISPLAY = `:${number}`;
    this.spawn(['openbox', '--sm-disable']);
    // The window manager is up once it announces itself on the root window.
    await waitFor(
      () => /window id/.test(this.run(['xprop', '-root', '_NET_SUPPORTING_WM_CHECK']) ?? ''),
      'openbox',
      kStartTimeoutMs,
    );
  }

  async startAudio() {
    const pulseDir = path.join(this.dir, 'pulse');
    this.spawn([path.join(repository, 'scripts', 'pulse-server'), pulseDir]);
    this.env.PULSE_SERVER = `unix:${pulseDir}/native`;
    await waitFor(() => this.run(['pactl', 'info']), 'the audio server', kStartTimeoutMs);
  }

  async startTarget() {
    fs.mkdirSync(path.dirname(this.eventsFile));
    this.spawn([paths.target, path.dirname(this.eventsFile)]);
    await waitFor(() => this.events().includes('focus'), 'the target window to get the focus', kStartTimeoutMs);
  }

  /** Lines the target window recorded: "focus", "paste <k>", "key <keysym> <state>"... */
  events() {
    try {
      return fs.readFileSync(this.eventsFile, 'utf8').split('\n').filter(Boolean);
    } catch {
      return [];
    }
  }

  /** The texts pasted into the target window, in order. */
  pastes() {
    return this.events()
      .filter((line) => line.startsWith('paste '))
      .map((line) => (line === 'paste none' ? null : fs.readFileSync(`${path.dirname(this.eventsFile)}/paste-${line.slice(6)}`, 'utf8')));
  }

  clipboard() {
    return this.run(['xclip', '-o', '-selection', 'clipboard', '-t', 'UTF8_STRING']);
  }

  /** Makes text the clipboard's string, owned by an xclip that stays until another owner comes. */
  async setClipboard(text) {
    const owner = this.spawn(['xclip', '-quiet', '-selection', 'clipboard', '-i'], { stdio: ['pipe', 'ignore', 'ignore'] });
    owner.stdin.end(text);
    await waitFor(() => this.clipboard() === text, 'the clipboard to hold the previous string');
  }

  /** Presses or releases a key with XTest, as a keyboard would. */
  key(action, keysym = 'Control_R') {
    if (this.run(['xdotool', action, keysym]) === null) throw new Error(`xdotool ${action} ${keysym} failed`);
  }

  /** Record streams open on the audio server (a transcriber capturing). */
  recordStreams() {
    return (this.run(['pactl', 'list', 'short', 'source-outputs']) ?? '').split('\n').filter(Boolean).length;
  }

  /** Plays a 16 kHz mono recording into the virtual microphone; resolves when it has been played. */
  async play(file = kGoForward) {
    const player = this.spawn(['pacat', '--playback', '--device=kavri_mic_in', '--format=s16le', '--rate=16000', '--channels=1', file]);
    if ((await exited(player)) !== 0) throw new Error(`pacat could not play ${file}`);
  }

  /** Starts the reference host on this desktop. */
  startHost(args = []) {
    const env = { ...this.env };
    if (process.env.KEYGLUE_PRELOAD) env.LD_PRELOAD = process.env.KEYGLUE_PRELOAD;
    const child = this.spawn(
      [process.execPath, path.join(__dirname, '..', 'main.js'), '--transcriber', paths.transcriber,
        '--keysend', paths.keysend, '--keyglue', paths.keyglue, ...args],
      { env, stdio: ['ignore', 'pipe', 'inherit'] },
    );
    return new Host(child);
  }

  async stop() {
    for (const child of this.children.reverse()) {
      child.kill('SIGTERM');
      await exited(child);
    }
    fs.rmSync(this.dir, { recursive: true, force: true });
  }
}

// The host's JSON state lines, read in order.
class Host {
  constructor(child) {
    this.child = child;
    this.states = [];
    this.read = 0;
    readline.createInterface({ input: child.stdout }).on('line', (line) => this.states.push(JSON.parse(line)));
  }

  /** Waits for the next state line with this state; the lines before it are passed over. */
  async next(state) {
    const found = await waitFor(() => {
      const index = this.states.findIndex((line, i) => i >= this.read && line.state === state);
      return index >= 0 && index + 1;
    }, `the host's state "${state}"`);
    this.read = found;
    return this.states[found - 1];
  }

  /** Running kavri-transcribe processes of the host. */
  transcribers() {
    return childrenOf(this.child.pid).filter((pid) => {
      try {
        return fs.readlinkSync(`/proc/${pid}/exe`) === fs.realpathSync(paths.transcriber) && alive(pid);
      } catch {
        return false;
      }
    });
  }
}

module.exports = { Desktop, waitFor, exited, alive, childrenOf };
