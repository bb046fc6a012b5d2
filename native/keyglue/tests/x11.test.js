'use strict';
// The product module on a real X server: keys pressed by a helper of ours with XTest, as another
// application would, and a window of ours that receives the paste keystroke.
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const readline = require('node:readline');
const { after, before, describe, it } = require('node:test');

const { Collector, delivered } = require('./events');
const { assertEndsByItselfAfterStop } = require('./lifetime');
const { keyHelperPath, modulePath } = require('./paths');
const { keys: keysOn } = require('./x_server');

const skip = !process.env.DISPLAY && 'no X server (run under scripts/test)';
const keyglue = require(modulePath);
const kChildTimeoutMs = 30000;
const kShiftMask = 1;
const kControlMask = 4;

const collector = new Collector();

// On the X server of the run.
const keys = (...actions) => keysOn(process.env.DISPLAY, ...actions);

// Listens while the keys are pressed. Stopping reports every key the server took in before it,
// so once delivered, the list is complete.
async function eventsFor(...actions) {
  assert.equal(keyglue.startFnListener(collector.callback), true);
  keys(...actions);
  keyglue.stopFnListener();
  await delivered();
  return collector.take();
}

describe('trigger key on X11', { skip }, () => {
  before(() => collector.take());
  after(() => keyglue.stopFnListener());

  it('reports Control down and up, and not the right Control key', async () => {
    keyglue.setTriggerKeyCode(59);
    assert.deepEqual(await eventsFor('+Control_L', '-Control_L'), ['down', 'up']);
    assert.deepEqual(await eventsFor('+Control_R', '-Control_R'), []);
  });

  it('keeps Option down while the right Option key is held', async () => {
    keyglue.setTriggerKeyCode(58);
    assert.deepEqual(await eventsFor('+Alt_R', '+Alt_L', '-Alt_L', '-Alt_R'), ['down']);
    assert.deepEqual(await eventsFor('+Alt_L', '-Alt_L'), ['down', 'up']);
  });

  it('follows the Caps Lock state', async () => {
    keyglue.setTriggerKeyCode(57);
    assert.deepEqual(
      await eventsFor('+Caps_Lock', '-Caps_Lock', '+Caps_Lock', '-Caps_Lock'),
      ['down', 'up'],
    );
  });

  it('reports nothing while stopped', async () => {
    keyglue.setTriggerKeyCode(59);
    keys('+Control_L', '-Control_L');
    await delivered();
    assert.deepEqual(collector.take(), []);
    assert.deepEqual(await eventsFor('+Control_L'), ['down']);
    keys('-Control_L');
  });

  it('keeps delivering to the first callback when started with another', async () => {
    const others = [];
    assert.equal(keyglue.startFnListener((event) => others.push(event)), true);
    keyglue.setTriggerKeyCode(60);
    assert.deepEqual(await eventsFor('+Shift_R', '-Shift_R'), ['down', 'up']);
    assert.deepEqual(others, []);
  });

  it('never sees the Fn key, so the default trigger stays silent', async () => {
    keyglue.setTriggerKeyCode(63);
    assert.deepEqual(await eventsFor('+Control_L', '+Shift_L', '-Shift_L', '-Control_L'), []);
  });
});

describe('paste keystroke on X11', { skip }, () => {
  // Every key event that a focused window of the given class sees while the keys in held are
  // down and sendPaste runs, up to the marker key pressed after it.
  async function pasteInto(windowClass, held) {
    keys(...held.map((name) => `+${name}`));
    const window = spawn(keyHelperPath, ['window', windowClass], {
      stdio: ['pipe', 'pipe', 'inherit'],
    });
    const lines = readline.createInterface({ input: window.stdout });
    const seen = [];
    try {
      for await (const line of lines) {
        if (line === 'ready') {
          assert.equal(keyglue.sendPaste(), true);
          keys(...held.map((name) => `-${name}`), '+Return', '-Return');
        } else if (line.startsWith('press Return')) {
          break;
        } else {
          seen.push(line);
        }
      }
    } finally {
      window.stdin.end();
      lines.close();
    }
    return seen;
  }

  it('gives the focused window v with the Control mask alone, and puts held modifiers back', async () => {
    assert.deepEqual(await pasteInto('Kavri-test', []), [
      'press Control_L 0',
      `press v ${kControlMask}`,
      `release v ${kControlMask}`,
      `release Control_L ${kControlMask}`,
    ]);
    assert.deepEqual(await pasteInto('Kavri-test', ['Shift_L']), [
      `release Shift_L ${kShiftMask}`,
      'press Control_L 0',
      `press v ${kControlMask}`,
      `release v ${kControlMask}`,
      `release Control_L ${kControlMask}`,
      'press Shift_L 0',
      `release Shift_L ${kShiftMask}`,
    ]);
  });

  it('sends Control+Shift+V to a terminal emulator', async () => {
    const both = kControlMask | kShiftMask;
    assert.deepEqual(await pasteInto('XTerm', []), [
      'press Control_L 0',
      `press Shift_L ${kControlMask}`,
      `press v ${both}`,
      `release v ${both}`,
      `release Shift_L ${both}`,
      `release Control_L ${kControlMask}`,
    ]);
  });
});

describe('process lifetime on X11', { skip }, () => {
  it('ends by itself after stopFnListener', assertEndsByItselfAfterStop);
});
