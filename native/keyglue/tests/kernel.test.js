'use strict';
// The product module on a real kernel with no display (run by scripts/vm-test, as root): keys
// pressed on uinput keyboards of a helper of ours, as a real keyboard would, and the paste
// keystroke read back from the module's own virtual keyboard.
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const readline = require('node:readline');
const { after, before, describe, it } = require('node:test');

const { Collector, delivered } = require('./events');
const { assertEndsByItselfAfterStop } = require('./lifetime');
const { evdevKeyHelperPath, modulePath } = require('./paths');

const skip =
  (!fs.existsSync('/dev/uinput') && 'no /dev/uinput (run under scripts/vm-test)') ||
  (process.env.DISPLAY && 'an X display is announced: the module would use X11');
const keyglue = require(modulePath);
const kChildTimeoutMs = 30000;
const kVirtualKeyboardName = 'KAVRI Connector virtual keyboard';
const kNobody = ['--reuid=65534', '--regid=65534', '--clear-groups', '--'];

const collector = new Collector();

// A helper process and its output, line by line.
class Helper {
  constructor(args) {
    this.process = spawn(evdevKeyHelperPath, args, { stdio: ['pipe', 'pipe', 'inherit'] });
    this.lines = readline.createInterface({ input: this.process.stdout })[Symbol.asyncIterator]();
  }

  async line() {
    const { value, done } = await this.lines.next();
    assert.equal(done, false, 'the helper ended early');
    return value;
  }

  async end() {
    this.process.stdin.end();
    const [status] = await new Promise((resolve) => this.process.once('close', (...r) => resolve(r)));
    assert.equal(status, 0);
  }
}

// A new keyboard. waitFor("opened") returns once this process holds it open, waitFor("closed")
// once it no longer does.
async function plugKeyboard() {
  const keyboard = new Helper(['keyboard', String(process.pid)]);
  assert.equal(await keyboard.line(), 'ready');
  keyboard.press = async (...actions) => {
    for (const action of actions) {
      keyboard.process.stdin.write(`${action}\n`);
      await keyboard.line();
    }
  };
  keyboard.waitFor = async (state) => {
    keyboard.process.stdin.write(`${state}\n`);
    assert.equal(await keyboard.line(), state);
  };
  return keyboard;
}

// Stopping reports every key the kernel took in before it, so once delivered, the list is complete.
async function stopAndTake() {
  keyglue.stopFnListener();
  await delivered();
  return collector.take();
}

describe('trigger key on the kernel', { skip }, () => {
  let keyboard;
  before(async () => {
    keyboard = await plugKeyboard();
  });
  after(async () => {
    keyglue.stopFnListener();
    await keyboard.end();
  });

  it('reports the Fn key with the default trigger', async () => {
    assert.equal(keyglue.setTriggerKeyCode(63), 63);
    assert.equal(keyglue.startFnListener(collector.callback), true);
    await keyboard.press('+KEY_FN', '+KEY_LEFTSHIFT', '-KEY_LEFTSHIFT', '-KEY_FN');
    assert.deepEqual(await stopAndTake(), ['down', 'up']);
  });

  it('reports right Control with trigger 62, and not left Control', async () => {
    keyglue.setTriggerKeyCode(62);
    assert.equal(keyglue.startFnListener(collector.callback), true);
    await keyboard.press('+KEY_LEFTCTRL', '-KEY_LEFTCTRL', '+KEY_RIGHTCTRL', '-KEY_RIGHTCTRL');
    assert.deepEqual(await stopAndTake(), ['down', 'up']);
  });

  it('sees a keyboard plugged in after the start, and its going away', async () => {
    keyglue.setTriggerKeyCode(63);
    assert.equal(keyglue.startFnListener(collector.callback), true);
    const later = await plugKeyboard();
    await later.waitFor('opened');
    await later.press('+KEY_FN');
    await collector.waitFor(1);
    await later.end();
    await collector.waitFor(2);
    assert.deepEqual(await stopAndTake(), ['down', 'up']);
  });

  it('reports nothing after stopFnListener, and lets the keyboards go', async () => {
    keyglue.setTriggerKeyCode(59);
    assert.equal(keyglue.startFnListener(collector.callback), true);
    await stopAndTake();
    await keyboard.waitFor('closed');
    await keyboard.press('+KEY_LEFTCTRL', '-KEY_LEFTCTRL');
    await delivered();
    assert.deepEqual(collector.take(), []);
  });
});

describe('paste keystroke on the kernel', { skip }, () => {
  it('comes from the virtual keyboard of the module as four key reports in order', async () => {
    const reader = new Helper(['read', kVirtualKeyboardName, '4']);
    assert.equal(await reader.line(), 'ready');
    assert.equal(keyglue.sendPaste(), true);
    const reports = [];
    for (let i = 0; i < 4; ++i) reports.push(await reader.line());
    assert.deepEqual(reports, ['KEY_LEFTCTRL 1', 'KEY_V 1', 'KEY_V 0', 'KEY_LEFTCTRL 0']);
    await reader.end();
  });

  it('is not taken for a Control key of the user by the listener of the module', async () => {
    keyglue.setTriggerKeyCode(59);
    assert.equal(keyglue.startFnListener(collector.callback), true);
    assert.equal(keyglue.sendPaste(), true);
    assert.deepEqual(await stopAndTake(), []);
  });
});

describe('trust on the kernel', { skip }, () => {
  it('is granted to root and refused to a user without access to the devices', () => {
    assert.equal(keyglue.isTrusted(), true);
    const script = `process.stdout.write(String(require(${JSON.stringify(modulePath)}).isTrusted()))`;
    const child = spawnSync('setpriv', [...kNobody, process.execPath, '-e', script], {
      encoding: 'utf8',
      timeout: kChildTimeoutMs,
    });
    assert.equal(child.status, 0, child.stderr);
    assert.equal(child.stdout, 'false');
  });
});

describe('process lifetime on the kernel', { skip }, () => {
  it('ends by itself after stopFnListener', assertEndsByItselfAfterStop);
});
