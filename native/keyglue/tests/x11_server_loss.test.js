'use strict';
// The product module when its X server goes away under it: the host process lives on, and a
// later startFnListener works against a new server. Every server is private to this file.
const assert = require('node:assert/strict');
const { once } = require('node:events');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { describe, it } = require('node:test');
const { Worker } = require('node:worker_threads');

const { Collector } = require('./events');
const { modulePath } = require('./paths');
const { hasXvfb, keys, startServer, stopServer } = require('./x_server');

const skip = !hasXvfb && 'Xvfb is not installed';
const keyglue = require(modulePath);
const kControlL = 59;

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
  // Node unloads a module that only a worker loaded once the worker ends, while libX11 stays for
  // this thread's copy: nothing of the unloaded copy may be left for libX11 to call.
  it('outlives a worker that used X through its own copy of the module', async () => {
    const server = await startServer();
    const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'keyglue-copy-'));
    const copy = path.join(folder, 'keyglue.node');
    fs.copyFileSync(modulePath, copy);
    try {
      process.env.DISPLAY = server.display;
      // The first call may find the connection of an earlier test's server gone; the next one
      // connects here.
      keyglue.isTrusted(false);
      assert.equal(keyglue.isTrusted(false), true);
      const worker = new Worker(
        `const { parentPort, workerData } = require('node:worker_threads');
         parentPort.postMessage(require(workerData).isTrusted(false));`,
        { eval: true, workerData: copy },
      );
      const [trusted] = await once(worker, 'message');
      assert.equal(trusted, true);
      await once(worker, 'exit');
      assert.equal(fs.readFileSync('/proc/self/maps', 'utf8').includes(copy), false,
        "the worker's copy of the module is still loaded");

      await stopServer(server);
      // This thread's connection now finds its server gone.
      assert.equal(typeof keyglue.isTrusted(false), 'boolean');
      assert.equal(keyglue.sendPaste(), true);
    } finally {
      await stopServer(server);
      fs.rmSync(folder, { recursive: true, force: true });
    }
  });
});
