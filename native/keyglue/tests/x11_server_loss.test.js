'use strict';
// The product module when its X server goes away under it: the host process lives on, and a
// later startFnListener works against a new server. Both servers are private to this file.
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const { describe, it } = require('node:test');

const { Collector } = require('./events');
const { keyHelperPath, modulePath } = require('./paths');

const hasXvfb = spawnSync('sh', ['-c', 'command -v Xvfb'], { encoding: 'utf8' }).status === 0;
const skip = !hasXvfb && 'Xvfb is not installed';
const keyglue = require(modulePath);
const kChildTimeoutMs = 30000;
const kControlL = 59;

// Starts an Xvfb that picks a free display and tells it once it accepts clients.
function startServer() {
  return new Promise((resolve, reject) => {
    const server = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '640x480x24', '-nolisten', 'tcp'], {
      stdio: ['ignore', 'ignore', 'ignore', 'pipe'],
    });
    let number = '';
    server.stdio[3].on('data', (chunk) => {
      number += chunk;
      if (number.includes('\n')) resolve({ server, display: `:${number.trim()}` });
    });
    server.on('error', reject);
    server.on('exit', () => reject(new Error('Xvfb ended before it was ready')));
  });
}

function stopServer({ server }) {
  return new Promise((resolve) => {
    if (server.exitCode !== null || server.signalCode !== null) return resolve();
    server.once('exit', resolve);
    server.kill('SIGTERM');
  });
}

function keys(display, ...actions) {
  const result = spawnSync(keyHelperPath, ['keys', ...actions], {
    encoding: 'utf8',
    timeout: kChildTimeoutMs,
    env: { ...process.env, DISPLAY: display },
  });
  assert.equal(result.status, 0, result.stderr);
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

describe('a lost X server', { skip }, () => {
  it('leaves the host running, and a later start listens on the new server', async () => {
    const collector = new Collector();
    keyglue.setTriggerKeyCode(kControlL);
    const first = await startServer();
    let second;
    try {
      process.env.DISPLAY = first.display;
      assert.equal(keyglue.startFnListener(collector.callback), true);
      keys(first.display, '+Control_L', '-Control_L');
      await collector.waitFor(2);
      assert.deepEqual(collector.take(), ['down', 'up']);

      await stopServer(first);
      // Nothing here can tell when the listener's thread has seen the loss; whenever it does,
      // this process must stay up and the next start must not be refused for it.
      await sleep(500);
      // Whether the freed display number is already another test's server is not ours to know;
      // the answer only has to come back, as a boolean.
      assert.equal(typeof keyglue.isTrusted(false), 'boolean');
      assert.equal(keyglue.sendPaste(), true);

      second = await startServer();
      process.env.DISPLAY = second.display;
      assert.equal(keyglue.startFnListener(collector.callback), true);
      keys(second.display, '+Control_L', '-Control_L');
      await collector.waitFor(2);
      assert.deepEqual(collector.take(), ['down', 'up']);
      assert.equal(keyglue.isTrusted(false), true);
      keyglue.stopFnListener();
    } finally {
      keyglue.stopFnListener();
      await stopServer(first);
      if (second) await stopServer(second);
    }
  });
});
