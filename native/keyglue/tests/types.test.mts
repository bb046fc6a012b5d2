// The same declarations seen from an ES module, through the package's "exports".
import keyglue, { startFnListener, type TriggerEvent } from 'keyglue';

const started: boolean = keyglue.startFnListener((event: TriggerEvent) => event);
const again: boolean = startFnListener((event) => event === 'up');
// @ts-expect-error not a function
startFnListener(63);

export { again, started };
