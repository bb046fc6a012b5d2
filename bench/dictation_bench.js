'use strict';
// Push-to-talk latency: the time from the trigger key's release to the dictated text arriving in
// the focused window, through the reference host (examples/push-to-talk) and the real programs,
// on a private desktop (Xvfb, openbox, PulseAudio) of its own. It includes the transcriber's
// fixed 0.6 s grace after "stop". Prints the median, the fastest and the slowest of several
// dictations of "go forward ten meters". Goal: a median of at most 1.0 s.
//   node bench/dictation_bench.js [dictations]      (after a default build; default 7)
const { Desktop, waitFor } = require('../examples/push-to-talk/test/desktop');

const kDictations = Number(process.argv[2] || 7);
// The window is watched this often; it bounds the error of each figure.
const kWatchIntervalMs = 2;

async function main() {
  const desktop = await Desktop.start();
  try {
    await desktop.setClipboard('previous');
    const host = desktop.startHost();
    await host.next('ready');
    const seconds = [];
    for (let i = 0; i < kDictations; i++) {
      // A spare transcriber waits, as it does for a user who pauses between dictations.
      await waitFor(() => host.transcribers().length > 0, 'a spare transcriber');
      desktop.xdotool('keydown', 'Control_R');
      await host.next('recording');
      await waitFor(() => desktop.capturingPids().length > 0, 'the transcriber to capture');
      await desktop.play();
      // Taken before the release is sent, so the figure includes sending it.
      const released = process.hrtime.bigint();
      desktop.xdotool('keyup', 'Control_R');
      const arrived = () => desktop.pastes().length === i + 1;
      await waitFor(arrived, 'the text in the window', undefined, kWatchIntervalMs);
      seconds.push(Number(process.hrtime.bigint() - released) / 1e9);
      const { text } = await host.next('pasted');
      process.stderr.write(`dictation ${i + 1}: ${seconds[i].toFixed(3)} s, "${text}"\n`);
    }
    seconds.sort((a, b) => a - b);
    const median = seconds[Math.floor(seconds.length / 2)];
    const figure = (s) => `${s.toFixed(3)} s`;
    console.log(
      `release to text in the window (${kDictations} dictations): median ${figure(median)}, ` +
        `fastest ${figure(seconds[0])}, slowest ${figure(seconds.at(-1))} (goal: at most 1.0 s)`,
    );
  } finally {
    await desktop.stop();
  }
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
