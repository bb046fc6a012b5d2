'use strict';
// The addon's logic as JavaScript sees it, over fake keyboard services: the test module is built
// from the same sources and lets the test send key events from a native thread.
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { after, before, describe, it } = require('node:test');

const { Collector, delivered } = require('./events');
const { testModulePath } = require('./paths');

const keyglue = require(testModulePath);
const kChildTimeoutMs = 30000;

const kFlagCapsLock = 0x10000;
const kFlagShift = 0x20000;
const kFlagControl = 0x40000;
const kFlagOption = 0x80000;
const kFlagFunction = 0x800000;

const collector = new Collector();

// Sends events as the monitor's thread would; each is queued when this returns.
function send(...events) {
  for (const [keyCode, flags] of events) {
    assert.equal(keyglue.sendFlagsChanged(keyCode, flags), true);
  }
}

async function eventsAfter(...events) {
  send(...events);
  await delivered();
  return collector.take();
}

before(() => {
  assert.equal(keyglue.startFnListener(collector.callback), true);
});

// A listening addon keeps the process alive, this test file's included.
after(() => keyglue.stopFnListener());

describe('trigger edges', () => {
  it('reports the Fn trigger once per edge, whatever key changed', async () => {
    keyglue.setTriggerKeyCode(63);
    assert.deepEqual(
      await eventsAfter(
        [63, kFlagFunction],
        [56, kFlagFunction | kFlagShift],
        [56, kFlagFunction],
        [63, 0],
        [56, kFlagShift],
      ),
      ['down', 'up'],
    );
  });

  it('treats a code outside the table, such as 49, as the Fn trigger', async () => {
    assert.equal(keyglue.setTriggerKeyCode(49), 49);
    assert.deepEqual(
      await eventsAfter([59, kFlagFunction | kFlagControl], [63, kFlagFunction], [59, 0]),
      ['down', 'up'],
    );
  });

  it('ignores the right Option key for the Option trigger', async () => {
    keyglue.setTriggerKeyCode(58);
    assert.deepEqual(
      await eventsAfter([61, kFlagOption], [58, kFlagOption], [58, kFlagOption], [61, 0]),
      ['down'],
    );
    assert.deepEqual(await eventsAfter([58, kFlagOption], [58, 0]), ['up']);
  });

  it('follows the Caps Lock bit of the Caps Lock key', async () => {
    keyglue.setTriggerKeyCode(57);
    assert.deepEqual(
      await eventsAfter([57, kFlagCapsLock], [56, kFlagShift], [57, kFlagCapsLock], [57, 0]),
      ['down', 'up'],
    );
  });

  it('starts over without an up when the trigger changes while held', async () => {
    keyglue.setTriggerKeyCode(59);
    assert.deepEqual(await eventsAfter([59, kFlagControl]), ['down']);
    keyglue.setTriggerKeyCode(56);
    assert.deepEqual(await eventsAfter([56, kFlagShift | kFlagControl]), ['down']);
    assert.deepEqual(await eventsAfter([56, kFlagControl]), ['up']);
  });
});

describe('start and stop', () => {
  it('delivers nothing after stop, no up for a key held at stop, and resumes on start', async () => {
    keyglue.setTriggerKeyCode(59);
    assert.deepEqual(await eventsAfter([59, kFlagControl]), ['down']);
    keyglue.stopFnListener();
    assert.deepEqual(await eventsAfter([59, 0], [59, kFlagControl], [59, 0]), []);
    assert.equal(keyglue.startFnListener(collector.callback), true);
    assert.deepEqual(await eventsAfter([59, kFlagControl], [59, 0]), ['down', 'up']);
  });

  it('keeps the first callback when started again with another', async () => {
    const others = [];
    assert.equal(keyglue.startFnListener((event) => others.push(event)), true);
    keyglue.setTriggerKeyCode(56);
    assert.deepEqual(await eventsAfter([56, kFlagShift], [56, 0]), ['down', 'up']);
    assert.deepEqual(others, []);
    assert.equal(keyglue.fakeState().monitorsCreated, 1);
  });

  it('answers false and stays stopped when the monitor is refused', async () => {
    keyglue.stopFnListener();
    keyglue.refuseMonitor(true);
    try {
      assert.equal(keyglue.startFnListener(collector.callback), false);
      keyglue.setTriggerKeyCode(56);
      assert.deepEqual(await eventsAfter([56, kFlagShift], [56, 0]), []);
    } finally {
      keyglue.refuseMonitor(false);
    }
    assert.equal(keyglue.startFnListener(collector.callback), true);
    assert.deepEqual(await eventsAfter([56, kFlagShift]), ['down']);
  });

  it('enables the tap again when the system switches it off', () => {
    const calls = keyglue.fakeState().enableCalls.length;
    assert.equal(keyglue.sendTapEvent(0xfffffffe), true);
    assert.equal(keyglue.sendTapEvent(0xffffffff), true);
    assert.equal(keyglue.sendTapEvent(12), true);
    assert.deepEqual(keyglue.fakeState().enableCalls.slice(calls), [true, true]);
  });
});

describe('event bridge', () => {
  it('carries a burst of 10,000 events complete and in order without blocking the sender', async () => {
    const count = 10000;
    // The JavaScript thread is held inside emitBurst, so every call must return unanswered.
    assert.equal(keyglue.emitBurst(count), count);
    await collector.waitFor(count);
    const events = collector.take();
    assert.equal(events.length, count);
    events.forEach((event, i) => assert.equal(event, String(i)));
  });

  it('reports an exception of the callback as uncaught and loses only that event', () => {
    const script = `
      const keyglue = require(${JSON.stringify(testModulePath)});
      const seen = [];
      const uncaught = [];
      process.on('uncaughtException', (error) => uncaught.push(error.message));
      keyglue.startFnListener((event) => {
        if (event === '0') throw new Error('host failed');
        seen.push(event);
      });
      keyglue.emitBurst(3);
      setImmediate(() => setImmediate(() => {
        keyglue.stopFnListener();
        console.log(JSON.stringify({ seen, uncaught }));
      }));
    `;
    const child = spawnSync(process.execPath, ['-e', script], {
      encoding: 'utf8',
      timeout: kChildTimeoutMs,
    });
    assert.equal(child.status, 0, child.stderr);
    assert.deepEqual(JSON.parse(child.stdout), { seen: ['1', '2'], uncaught: ['host failed'] });
    assert.doesNotMatch(child.stderr, /DEP0168/);
  });

  it('ends a process without an uncaught-exception handler like any uncaught exception', () => {
    const script = `
      const keyglue = require(${JSON.stringify(testModulePath)});
      keyglue.startFnListener(() => { throw new Error('host failed'); });
      keyglue.emitBurst(1);
    `;
    const child = spawnSync(process.execPath, ['-e', script], {
      encoding: 'utf8',
      timeout: kChildTimeoutMs,
    });
    assert.equal(child.status, 1);
    assert.match(child.stderr, /Error: host failed/);
  });

  it('lets the process end by itself once stopped', () => {
    const script = `
      const keyglue = require(${JSON.stringify(testModulePath)});
      keyglue.startFnListener(() => {});
      setImmediate(() => keyglue.stopFnListener());
    `;
    const child = spawnSync(process.execPath, ['-e', script], { timeout: kChildTimeoutMs });
    assert.equal(child.signal, null, 'the process had to be killed');
    assert.equal(child.status, 0);
  });
});

describe('paste and trust', () => {
  it('posts V down and up with only the Command flag and answers true', () => {
    const posted = keyglue.fakeState().posted.length;
    assert.equal(keyglue.sendPaste('ignored'), true);
    assert.deepEqual(keyglue.fakeState().posted.slice(posted), [
      { keyCode: 9, keyDown: true, flags: 0x100000 },
      { keyCode: 9, keyDown: false, flags: 0x100000 },
    ]);
  });

  it('prompts only for a truthy argument', () => {
    const prompts = () => keyglue.fakeState().promptingTrustQueries;
    const start = prompts();
    for (const value of [undefined, false, 0, '', null, NaN]) keyglue.isTrusted(value);
    keyglue.isTrusted();
    assert.equal(prompts(), start);
    for (const value of [true, 1, 'no', {}, []]) {
      assert.equal(typeof keyglue.isTrusted(value), 'boolean');
    }
    assert.equal(prompts(), start + 5);
  });
});
