import keyglue from './index.js';

export const { startFnListener, stopFnListener, sendPaste, setTriggerKeyCode, isTrusted } =
  keyglue;
export default keyglue;
