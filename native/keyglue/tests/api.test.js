'use strict';
// The product module's JavaScript surface: its exports, argument handling and results.
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { describe, it } = require('node:test');

const { modulePath, packageDir } = require('./paths');

const keyglue = require(modulePath);
const kChildTimeoutMs = 30000;

function runNode(args, options = {}) {
  return spawnSync(process.execPath, args, {
    encoding: 'utf8',
    timeout: kChildTimeoutMs,
    ...options,
  });
}

describe('exports', () => {
  it('are exactly the five functions', () => {
    assert.deepEqual(Object.keys(keyglue).sort(), [
      'isTrusted',
      'sendPaste',
      'setTriggerKeyCode',
      'startFnListener',
      'stopFnListener',
    ]);
    for (const value of Object.values(keyglue)) assert.equal(typeof value, 'function');
  });

  it('load through the package with require and with import', () => {
    const root = fs.mkdtempSync(path.join(os.tmpdir(), 'keyglue-package-'));
    try {
      const dir = path.join(root, 'node_modules', 'keyglue');
      fs.mkdirSync(dir, { recursive: true });
      for (const file of ['package.json', 'index.js', 'index.mjs', 'index.d.ts']) {
        fs.copyFileSync(path.join(packageDir, file), path.join(dir, file));
      }
      // Laid out as npm installs the package: the module as its prebuild, the loader beside it.
      const prebuilds = path.join(dir, 'prebuilds', `${process.platform}-${process.arch}`);
      fs.mkdirSync(prebuilds, { recursive: true });
      fs.copyFileSync(modulePath, path.join(prebuilds, 'keyglue.node'));
      fs.cpSync(
        path.join(packageDir, 'node_modules', 'node-gyp-build'),
        path.join(root, 'node_modules', 'node-gyp-build'),
        { recursive: true },
      );
      const names = 'isTrusted,sendPaste,setTriggerKeyCode,startFnListener,stopFnListener';

      const required = runNode(
        ['-e', "console.log(Object.keys(require('keyglue')).sort().join())"],
        { cwd: root },
      );
      assert.equal(required.status, 0, required.stderr);
      assert.equal(required.stdout.trim(), names);

      const imported = runNode(
        [
          '--input-type=module',
          '-e',
          "import k, { setTriggerKeyCode } from 'keyglue';" +
            "console.log(Object.keys(k).sort().join(), typeof setTriggerKeyCode)",
        ],
        { cwd: root },
      );
      assert.equal(imported.status, 0, imported.stderr);
      assert.equal(imported.stdout.trim(), `${names} function`);
    } finally {
      fs.rmSync(root, { recursive: true, force: true });
    }
  });
});

describe('startFnListener', () => {
  it('throws a TypeError without a function and creates nothing', () => {
    const expected = {
      name: 'TypeError',
      message: 'startFnListener(callback) requires a function',
    };
    assert.throws(() => keyglue.startFnListener(), expected);
    assert.throws(() => keyglue.startFnListener(null), expected);
    assert.throws(() => keyglue.startFnListener(undefined), expected);
    assert.throws(() => keyglue.startFnListener('down'), expected);
    assert.throws(() => keyglue.startFnListener({}), expected);
    assert.throws(() => keyglue.startFnListener(42), expected);
  });
});

describe('setTriggerKeyCode', () => {
  it('converts numbers to int32 and ignores everything else', () => {
    assert.equal(keyglue.setTriggerKeyCode(), 63);
    assert.equal(keyglue.setTriggerKeyCode(58.9), 58);
    assert.equal(keyglue.setTriggerKeyCode('59'), 58);
    assert.equal(keyglue.setTriggerKeyCode(null), 58);
    assert.equal(keyglue.setTriggerKeyCode({ valueOf: () => 59 }), 58);
    assert.equal(keyglue.setTriggerKeyCode(-1), -1);
    assert.equal(keyglue.setTriggerKeyCode(2 ** 32 + 5), 5);
    assert.equal(keyglue.setTriggerKeyCode(NaN), 0);
    assert.equal(keyglue.setTriggerKeyCode(Infinity), 0);
    assert.equal(keyglue.setTriggerKeyCode(63), 63);
  });
});

describe('isTrusted', () => {
  it('coerces any argument and always answers a boolean', () => {
    for (const prompt of [undefined, null, false, 0, '', true, 1, 'yes', {}, [], NaN, 0n]) {
      assert.equal(typeof keyglue.isTrusted(prompt), 'boolean');
    }
    assert.equal(typeof keyglue.isTrusted(), 'boolean');
  });

  it('is false without an X server and the paste still answers true', () => {
    const env = { ...process.env };
    delete env.DISPLAY;
    const child = runNode(
      [
        '-e',
        `const k = require(${JSON.stringify(modulePath)});` +
          'console.log(k.isTrusted(), k.isTrusted(true), k.sendPaste(), k.startFnListener(() => {}))',
      ],
      { env },
    );
    assert.equal(child.status, 0, child.stderr);
    assert.equal(child.stdout.trim(), 'false false true false');
  });

  it('is true on an X server with XTEST', { skip: !process.env.DISPLAY && 'no DISPLAY' }, () => {
    assert.equal(keyglue.isTrusted(), true);
    assert.equal(keyglue.isTrusted(true), true);
  });
});
