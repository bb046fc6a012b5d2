'use strict';
// Private X servers for tests that take theirs away or stop it, and keys pressed by our helper.
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');

const { keyHelperPath } = require('./paths');

const hasXvfb = spawnSync('sh', ['-c', 'command -v Xvfb'], { encoding: 'utf8' }).status === 0;
const kChildTimeoutMs = 30000;

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

function stopServer({ server }, signal = 'SIGTERM') {
  return new Promise((resolve) => {
    if (server.exitCode !== null || server.signalCode !== null) return resolve();
    server.once('exit', resolve);
    // A stopped server must run again to hear a SIGTERM.
    server.kill('SIGCONT');
    server.kill(signal);
  });
}

// Presses and releases keys ("+Control_L", "-Control_L") on the server named, each processed by
// the server before the next is sent.
function keys(display, ...actions) {
  const result = spawnSync(keyHelperPath, ['keys', ...actions], {
    encoding: 'utf8',
    timeout: kChildTimeoutMs,
    env: { ...process.env, DISPLAY: display },
  });
  assert.equal(result.status, 0, result.stderr);
}

module.exports = { hasXvfb, keys, startServer, stopServer };
