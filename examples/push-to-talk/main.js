#!/usr/bin/env node
// @ts-check
'use strict';
// Push-to-talk dictation: hold the trigger key, speak, release, and the words are pasted into the
// focused window. Prints one JSON line per state change; ends on SIGINT or SIGTERM.
//   node main.js [--trigger CODE] [--source mic|system|both] [--locale L]
//                [--transcriber PATH] [--keysend PATH] [--keyglue PATH]
const fs = require('node:fs');
const path = require('node:path');
const { parseArgs } = require('node:util');
const { PushToTalk } = require('./push_to_talk');

const repository = path.join(__dirname, '..', '..');

// Right Control, whichever backend keyglue chose. Its own default, the Fn key (63), never reaches
// an X server, and reaches the kernel only from keyboards whose firmware reports it. keyglue does
// not say which backend it chose, and a guess from the environment here could differ from its
// choice (a display that is announced but cannot be reached), so 63 is left to --trigger.
const kDefaultTriggerKeyCode = 62;

/**
 * The program as built in this repository (build/default), or else as installed.
 * @param {string} name
 * @param {string} folder its folder in the build tree
 */
function program(name, folder) {
  const built = path.join(repository, 'build', 'default', folder, name);
  return fs.existsSync(built) ? built : path.join('/usr/bin', name);
}

const { values } = parseArgs({
  options: {
    trigger: { type: 'string', default: String(kDefaultTriggerKeyCode) },
    source: { type: 'string', default: 'mic' },
    locale: { type: 'string', default: 'en-US' },
    transcriber: { type: 'string', default: program('kavri-transcribe', 'transcriber') },
    keysend: { type: 'string', default: program('kavri-keysend', 'keysend') },
    // The keyglue package, or a keyglue.node file of a particular build.
    keyglue: { type: 'string', default: path.join(repository, 'native', 'keyglue') },
  },
});

/** @param {import('./push_to_talk').State} state */
const report = (state) => process.stdout.write(`${JSON.stringify(state)}\n`);

let keyglue;
try {
  keyglue = require(path.resolve(values.keyglue));
} catch (error) {
  const why = /** @type {Error} */ (error).message;
  report({ state: 'error', message: `keyglue cannot be loaded: ${why}` });
  process.exit(1);
}

const host = new PushToTalk({
  keyglue,
  transcriber: values.transcriber,
  keysend: values.keysend,
  triggerKeyCode: Number(values.trigger),
  locale: values.locale,
  source: values.source,
  report,
});
if (!host.start()) process.exit(1);

/** @type {Promise<void> | undefined} */
let ending;
const end = () => (ending ??= host.stop().then(() => process.exit(0)));
process.on('SIGINT', end).on('SIGTERM', end);
