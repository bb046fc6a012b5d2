'use strict';
// The three deliverables together, as a host uses them: the right Control key held with XTest,
// "go forward ten meters" played into the virtual microphone, the key released, and the words
// must arrive in the focused window with the previous clipboard string back afterwards.
const assert = require('node:assert/strict');
const { after, before, describe, it } = require('node:test');
const { Desktop, alive, childrenOf, exited, waitFor } = require('./desktop');

const kPrevious = 'previous clipboard — ü€';

// The words of a text, lower case, without punctuation.
function words(text) {
  return text.toLowerCase().match(/[a-z']+/g)?.join(' ') ?? '';
}

describe('push-to-talk dictation on a private desktop', () => {
  /** @type {Desktop} */
  let desktop;
  let host;

  before(async () => {
    desktop = await Desktop.start();
    await desktop.setClipboard(kPrevious);
    host = desktop.startHost();
    await host.next('ready');
  });
  after(() => desktop?.stop());

  // Holds the trigger while the recording plays into the microphone. Playing starts once the
  // transcriber captures, as a speaker would wait for the recording indicator.
  const captured = new Set();
  async function dictate() {
    desktop.xdotool('keydown', 'Control_R');
    await host.next('recording');
    const capturing = () => desktop.capturingPids().find((pid) => !captured.has(pid));
    const pid = await waitFor(capturing, 'the transcriber to capture');
    captured.add(pid);
    await desktop.play();
    desktop.xdotool('keyup', 'Control_R');
  }

  // The host's waiting transcribers, once there is one.
  function waitingTranscribers() {
    return waitFor(() => {
      const pids = host.transcribers();
      return pids.length > 0 && pids;
    }, 'a waiting transcriber');
  }

  it('pastes two dictations, the second pressed while the first is being pasted', async () => {
    await dictate();
    // kavri-keysend has pressed Control+V and waits to put the previous string back.
    await waitFor(() => desktop.pastes().length === 1, 'the first paste');
    await dictate();
    // The first "pasted" line may come before or after the second "recording".
    const pasted = await waitFor(() => {
      const lines = host.states.filter((line) => line.state === 'pasted');
      return lines.length === 2 && lines;
    }, 'two "pasted" lines');
    const pastes = desktop.pastes();
    assert.deepEqual(pastes, pasted.map((line) => line.text));
    // All four words on an idle machine; on one so loaded that decoding falls more than 8 s
    // behind, the transcriber ends with the words it has, so only the first ones are certain.
    for (const text of pastes) assert.match(words(text), /^go forward/);
    assert.equal(desktop.clipboard(), kPrevious);
  });

  it('replaces a transcriber that dies, and pastes nothing for an empty dictation', async () => {
    const [spare] = await waitingTranscribers();
    process.kill(spare, 'SIGKILL');
    assert.match((await host.next('error')).message, /SIGKILL/);
    const restarted = () => host.transcribers().some((pid) => pid !== spare);
    await waitFor(restarted, 'the transcriber to be started again');
    // Released at once, before the transcriber can have started: nothing heard, nothing pasted.
    desktop.xdotool('keydown', 'Control_R', 'keyup', 'Control_R');
    await host.next('recording');
    await host.next('ready');
    assert.equal(desktop.pastes().length, 2);
    const errors = host.states.filter((line) => line.state === 'error');
    assert.equal(errors.length, 1, JSON.stringify(host.states));
  });

  it('ends on SIGTERM without leaving a child process', async () => {
    await waitingTranscribers();
    const children = childrenOf(host.child.pid);
    host.child.kill('SIGTERM');
    assert.equal(await exited(host.child), 0);
    assert.deepEqual(children.filter(alive), []);
  });
});
