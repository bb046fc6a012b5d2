'use strict';
// keyglue figures: the time from a key event sent to the system until the JavaScript callback runs
// (median and p99), how fast the event bridge carries a burst, and how long stopFnListener and
// isTrusted hold the JavaScript thread when the X server is frozen (each must stay under 1 s).
//   DISPLAY=:N node bench/keyglue_bench.js [build dir]      (default build/default)
//   bench/keyglue-kernel                                   the kernel backend, in a VM
// The latency part needs an X server, or /dev/uinput and no X display (the kernel backend); the
// frozen-server part Xvfb and the X11 backend; the burst part runs anywhere.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const readline = require('node:readline');

const { hasXvfb, startServer, stopServer } = require('../native/keyglue/tests/x_server');

const buildDir = path.resolve(process.argv[2] || path.join(__dirname, '..', 'build', 'default'));
const addonDir = path.join(buildDir, 'native', 'keyglue');
const kPresses = 500;
const kBurst = 200000;
const kBurstRounds = 5;
const kFrozenRounds = 5;
// Time for what a frozen server held back to finish once it runs again, between rounds.
const kThawSettleMs = 1000;
// The addon's own choice of backend, made once per process.
const onX11 = Boolean(process.env.DISPLAY) && !process.env.WAYLAND_DISPLAY;

function percentile(sorted, fraction) {
  return sorted[Math.min(sorted.length - 1, Math.floor(sorted.length * fraction))];
}

// Left Control pressed and released by a helper of ours: through the X server with XTest, or on a
// uinput keyboard of its own, which the listener opens when it starts. Each line the helper prints
// holds the CLOCK_MONOTONIC nanoseconds just before the key went out and once the system had it.
function keyHelper() {
  if (onX11) {
    return {
      system: 'the X server',
      process: spawn(path.join(addonDir, 'keyglue_key_helper'), ['timed'], {
        stdio: ['pipe', 'pipe', 'inherit'],
      }),
      press: '+Control_L',
      release: '-Control_L',
    };
  }
  return {
    system: 'the kernel',
    process: spawn(path.join(addonDir, 'keyglue_key_helper_evdev'), ['keyboard', String(process.pid)], {
      stdio: ['pipe', 'pipe', 'inherit'],
    }),
    press: '+KEY_LEFTCTRL',
    release: '-KEY_LEFTCTRL',
  };
}

async function latency() {
  const keyglue = require(path.join(addonDir, 'keyglue.node'));
  const helper = keyHelper();
  const sent = readline.createInterface({ input: helper.process.stdout })[Symbol.asyncIterator]();
  if (helper.system === 'the kernel' && (await sent.next()).value !== 'ready') {
    throw new Error('the uinput keyboard was not made');
  }
  let arrived;
  keyglue.setTriggerKeyCode(59);
  if (!keyglue.startFnListener(() => arrived(process.hrtime.bigint()))) {
    throw new Error(`the listener did not start on ${helper.system}`);
  }
  const fromSend = [];
  const fromSystem = [];
  for (let i = 0; i < kPresses * 2; ++i) {
    const callback = new Promise((resolve) => (arrived = resolve));
    helper.process.stdin.write(`${i % 2 === 0 ? helper.press : helper.release}\n`);
    const [before, handled] = (await sent.next()).value.split(' ').map(BigInt);
    const at = await callback;
    fromSend.push(Number(at - before) / 1000);
    fromSystem.push(Number(at - handled) / 1000);
  }
  keyglue.stopFnListener();
  helper.process.stdin.end();
  for (const [what, samples] of [
    [`key sent to ${helper.system}`, fromSend],
    [`${helper.system} done with the key`, fromSystem],
  ]) {
    samples.sort((a, b) => a - b);
    console.log(
      `${what} -> JavaScript callback: median ${percentile(samples, 0.5).toFixed(1)} µs, ` +
        `p99 ${percentile(samples, 0.99).toFixed(1)} µs over ${samples.length} key events`,
    );
  }
}

async function burst() {
  const keyglue = require(path.join(addonDir, 'keyglue_test.node'));
  let received = 0;
  let done;
  keyglue.startFnListener(() => {
    if (++received === kBurst) done(process.hrtime.bigint());
  });
  for (let round = 0; round < kBurstRounds; ++round) {
    received = 0;
    const allIn = new Promise((resolve) => (done = resolve));
    const start = process.hrtime.bigint();
    keyglue.emitBurst(kBurst);
    const queued = process.hrtime.bigint();
    const end = await allIn;
    const seconds = (t) => Number(t - start) / 1e9;
    console.log(
      `burst of ${kBurst}: queued by the native thread at ${(kBurst / seconds(queued)).toFixed(0)} ` +
        `events/s, delivered to JavaScript at ${(kBurst / seconds(end)).toFixed(0)} events/s`,
    );
  }
  keyglue.stopFnListener();
}

function milliseconds(since) {
  return Number(process.hrtime.bigint() - since) / 1e6;
}

async function frozenServer() {
  const keyglue = require(path.join(addonDir, 'keyglue.node'));
  const x = await startServer();
  const { server, display } = x;
  const previousDisplay = process.env.DISPLAY;
  process.env.DISPLAY = display;
  const stops = [];
  const trusts = [];
  try {
    for (let round = 0; round < kFrozenRounds; ++round) {
      if (!keyglue.startFnListener(() => {}) || !keyglue.isTrusted()) {
        throw new Error('the listener did not start on the private Xvfb');
      }
      server.kill('SIGSTOP');
      let since = process.hrtime.bigint();
      keyglue.stopFnListener();
      stops.push(milliseconds(since));
      since = process.hrtime.bigint();
      keyglue.isTrusted();
      trusts.push(milliseconds(since));
      server.kill('SIGCONT');
      await new Promise((resolve) => setTimeout(resolve, kThawSettleMs));
    }
  } finally {
    await stopServer(x);
    if (previousDisplay === undefined) delete process.env.DISPLAY;
    else process.env.DISPLAY = previousDisplay;
  }
  for (const [what, samples] of [
    ['stopFnListener', stops],
    ['isTrusted', trusts],
  ]) {
    console.log(
      `frozen X server: ${what} returns after ${Math.min(...samples).toFixed(0)}-` +
        `${Math.max(...samples).toFixed(0)} ms (limit 1000 ms) over ${samples.length} rounds`,
    );
  }
}

(async () => {
  if (onX11 || fs.existsSync('/dev/uinput')) {
    await latency();
  } else {
    console.log('no DISPLAY and no /dev/uinput: latency skipped');
  }
  await burst();
  // Last: the addon keeps the first callback it was given, which latency needs.
  if (!onX11) {
    console.log('the addon uses the kernel backend: frozen-server part skipped');
  } else if (hasXvfb) {
    await frozenServer();
  } else {
    console.log('no Xvfb: frozen-server part skipped');
  }
})().catch((error) => {
  console.error(error);
  process.exit(1);
});
