// The declarations against the calls a host makes: every correct one compiles, and each line
// marked @ts-expect-error must fail to (tsc reports an unused marker as an error itself).
import keyglue = require('..');
import { isTrusted, sendPaste, setTriggerKeyCode, startFnListener, stopFnListener } from '..';
import type { TriggerEvent } from '..';

const started: boolean = startFnListener((event) => {
  const seen: 'down' | 'up' = event;
  switch (event) {
    case 'down':
    case 'up':
      break;
    default: {
      const impossible: never = event;
      return impossible;
    }
  }
  // @ts-expect-error the callback only ever gets "down" or "up"
  if (event === 'pressed') return seen;
});
startFnListener(() => {});
startFnListener((event: string) => event.length);
startFnListener(async (event: TriggerEvent) => event);
startFnListener(function (event) {
  return [this, event];
});
keyglue.startFnListener((event) => event);

// @ts-expect-error a callback is required
startFnListener();
// @ts-expect-error not a function
startFnListener('down');
// @ts-expect-error not a function
startFnListener(null);
// @ts-expect-error the callback must take "up" too
startFnListener((event: 'down') => event);
// @ts-expect-error the argument is a string
startFnListener((event: number) => event);
// @ts-expect-error the callback gets one argument only
startFnListener((event: TriggerEvent, when: number) => [event, when]);
// @ts-expect-error the callback is called with this undefined
startFnListener(function (this: { owner: string }, event: TriggerEvent) {
  return [this.owner, event];
});
// @ts-expect-error the result is a boolean
const startedText: string = startFnListener(() => {});

stopFnListener();
// @ts-expect-error stopFnListener takes nothing
stopFnListener(() => {});

const pasted: true = sendPaste();
// @ts-expect-error sendPaste always gives true
const notPasted: false = sendPaste();

const inForce: number = setTriggerKeyCode(59) + setTriggerKeyCode();
// @ts-expect-error a key code is a number
setTriggerKeyCode('59');
// @ts-expect-error one key code at a time
setTriggerKeyCode(59, 62);

const trusted: boolean = isTrusted() && isTrusted(true) && isTrusted({ prompt: 1 });
// @ts-expect-error the answer is a boolean
const trustText: string = isTrusted();

// @ts-expect-error there are five exports and no others
keyglue.startListener(() => {});

export { inForce, notPasted, pasted, started, startedText, trustText, trusted };
