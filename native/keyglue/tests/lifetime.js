'use strict';
// A process that started the listener and stopped it must end by itself: the listener keeps the
// process alive only while it listens. Checked in a child process of the product module.
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');

const { modulePath } = require('./paths');

const kChildTimeoutMs = 30000;

function assertEndsByItselfAfterStop() {
  const script = `
    const keyglue = require(${JSON.stringify(modulePath)});
    if (!keyglue.startFnListener(() => {})) process.exit(3);
    setImmediate(() => keyglue.stopFnListener());
  `;
  const child = spawnSync(process.execPath, ['-e', script], { timeout: kChildTimeoutMs });
  assert.equal(child.signal, null, 'the process had to be killed');
  assert.equal(child.status, 0);
}

module.exports = { assertEndsByItselfAfterStop };
