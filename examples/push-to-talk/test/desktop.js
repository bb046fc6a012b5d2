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
  transcriber:
    process.env.KAVRI_TRANSCRIBE || path.join(buildDir, 'transcriber', 'kavri-transcribe'),
  keysend: process.env.KAVRI_KEYSEND || path.join(buildDir, 'keysend', 'kavri-keysend'),
  target: process.env.KEYSEND_TARGET || path.join(buildDir, 'keysend', 'tests', 'keysend_target'),
  keyglue: process.env.KEYGLUE_MODULE || path.join(buildDir, 'native', 'keyglue', 'keyglue.node'),
};
const kGoForward = '/usr/share/pocketsphinx/test/data/goforward.raw';
// Generous: the machine may be small and shared.
const kStartTimeoutMs = 60000;
const kWaitTimeoutMs = 60000;
const kPollMs = 20;
const kToolTimeoutMs = 10000;

/**
 * Polls until condition() gives a truthy value, and returns that value.
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

/** Resolves with the exit status once the child has ended (and its streams are closed). */
function exited(child) {
  return new Promise((resolve) => {
    if (child.exitCode !== null || child.signalCode !== null) resolve(child.exitCode);
    else child.once('close', (status) => resolve(status));
  });
}

/** Whether pid is a process that has not ended (a zombie has). */
function alive(pid) {
  try {
    return !/\) Z /.test(fs.readFileSync(`/proc/${pid}/stat`, 'utf8'));
  } catch {
    return false;
  }
}

/** The child processes of pid, from the lists of all its threads. */
function childrenOf(pid) {
  return fs.readdirSync(`/proc/${pid}/task`).flatMap((task) =>
    fs
      .readFileSync(`/proc/${pid}/task/${task}/children`, 'utf8')
      .split(' ')
      .filter(Boolean)
      .map(Number),
  );
}

class Desktop {
  constructor() {
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kavri-push-to-talk.'));
    this.children = [];
    this.env = { ...process.env, HOME: this.dir, XDG_RUNTIME_DIR: this.dir };
    this.env.XDG_CONFIG_HOME = this.dir;
    // The sanitizer runtime is for the host alone (see startHost), not for the tools.
    delete this.env.LD_PRELOAD;
    this.targetDir = path.join(this.dir, 'target');
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
    // A program that cannot be started shows up as its exit status.
    child.on('error', () => {});
    this.children.push(child);
    return child;
  }

  /** Runs a tool to its end; its output, or null when it failed. */
  run(argv) {
    const result = spawnSync(argv[0], argv.slice(1), {
      env: this.env,
      encoding: 'utf8',
      timeout: kToolTimeoutMs,
    });
    return result.status === 0 ? result.stdout : null;
  }

  async startX() {
    // -displayfd picks a free display and writes its number once the server accepts clients.
    const server = this.spawn(
      ['Xvfb', '-displayfd', '3', '-screen', '0', '1280x800x24', '-nolisten', 'tcp'],
      { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] },
    );
    const number = await new Promise((resolve, reject) => {
      readline.createInterface({ input: server.stdio[3] }).once('line', resolve);
      server.once('close', () => reject(new Error('Xvfb did not start')));
    });
    this.env.DISPLAY = `:${number}`;
    this.spawn(['openbox', '--sm-disable']);
    // The window manager is up once it announces itself on the root window.
    const announced = () => this.run(['xprop', '-root', '_NET_SUPPORTING_WM_CHECK']) ?? '';
    await waitFor(() => /window id/.test(announced()), 'openbox', kStartTimeoutMs);
  }

  async startAudio() {
    const pulseDir = path.join(this.dir, 'pulse');
    this.spawn([path.join(repository, 'scripts', 'pulse-server'), pulseDir]);
    this.env.PULSE_SERVER = `unix:${pulseDir}/native`;
    await waitFor(() => this.run(['pactl', 'info']), 'the audio server', kStartTimeoutMs);
  }

  async startTarget() {
    fs.mkdirSync(this.targetDir);
    this.spawn([paths.target, this.targetDir]);
    const focused = () => this.events().includes('focus');
    await waitFor(focused, 'the target window to get the focus', kStartTimeoutMs);
  }

  /** Lines the target window recorded: "focus", "paste <k>", "key <keysym> <state>"... */
  events() {
    try {
      const events = fs.readFileSync(path.join(this.targetDir, 'events'), 'utf8');
      return events.split('\n').filter(Boolean);
    } catch {
      return [];
    }
  }

  /** The texts pasted into the target window, in order (null: Control+V with no text). */
  pastes() {
    return this.events()
      .filter((line) => line.startsWith('paste '))
      .map((line) => line.slice('paste '.length))
      .map((k) => (k === 'none' ? null : fs.readFileSync(`${this.targetDir}/paste-${k}`, 'utf8')));
  }

  clipboard() {
    return this.run(['xclip', '-o', '-selection', 'clipboard', '-t', 'UTF8_STRING']);
  }

  /** Makes text the clipboard's string, owned by an xclip that stays until another owner comes. */
  async setClipboard(text) {
    const owner = this.spawn(['xclip', '-quiet', '-selection', 'clipboard', '-i'], {
      stdio: ['pipe', 'ignore', 'ignore'],
    });
    owner.stdin.end(text);
    await waitFor(() => this.clipboard() === text, 'the clipboard to hold the previous string');
  }

  /** Presses and releases keys with XTest, as a keyboard would: ('keydown', 'Control_R')... */
  xdotool(...args) {
    if (this.run(['xdotool', ...args]) === null) {
      throw new Error(`xdotool ${args.join(' ')} failed`);
    }
  }

  /** The processes capturing from the audio server, by the pid each stream reports. */
  capturingPids() {
    const streams = this.run(['pactl', 'list', 'source-outputs']) ?? '';
    return [...streams.matchAll(/application\.process\.id = "(\d+)"/g)].map((m) => Number(m[1]));
  }

  /** Plays a 16 kHz mono recording into the virtual microphone; resolves once it is played. */
  async play(file = kGoForward) {
    const format = ['--format=s16le', '--rate=16000', '--channels=1'];
    const player = this.spawn(['pacat', '--playback', '--device=kavri_mic_in', ...format, file]);
    if ((await exited(player)) !== 0) throw new Error(`pacat could not play ${file}`);
  }

  /** Starts the reference host on this desktop, with the programs and the addon under test. */
  startHost(args = []) {
    const env = { ...this.env };
    // Node is not instrumented: an addon built with a sanitizer needs its runtime loaded first.
    if (process.env.KEYGLUE_PRELOAD) env.LD_PRELOAD = process.env.KEYGLUE_PRELOAD;
    const main = path.join(__dirname, '..', 'main.js');
    const options = ['--transcriber', paths.transcriber, '--keysend', paths.keysend];
    options.push('--keyglue', paths.keyglue);
    const child = this.spawn([process.execPath, main, ...options, ...args], {
      env,
      stdio: ['ignore', 'pipe', 'inherit'],
    });
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

/** The host's JSON state lines, read in order. */
class Host {
  constructor(child) {
    this.child = child;
    this.states = [];
    this.read = 0;
    const lines = readline.createInterface({ input: child.stdout });
    lines.on('line', (line) => this.states.push(JSON.parse(line)));
  }

  /** Waits for the next line with this state after the last one taken; returns it. */
  async next(state) {
    const found = await waitFor(() => {
      const index = this.states.findIndex((line, i) => i >= this.read && line.state === state);
      return index >= 0 && index + 1;
    }, `the host's state "${state}"`);
    this.read = found;
    return this.states[found - 1];
  }

  /** The host's running kavri-transcribe processes. */
  transcribers() {
    const program = fs.realpathSync(paths.transcriber);
    return childrenOf(this.child.pid).filter((pid) => {
      try {
        return fs.readlinkSync(`/proc/${pid}/exe`) === program && alive(pid);
      } catch {
        return false;
      }
    });
  }
}

module.exports = { Desktop, waitFor, exited, alive, childrenOf };
