/**
 * keyglue: a system-wide trigger key, the paste keystroke and the trust query for the host
 * process. All state is shared by the whole process.
 *
 * On Linux (X11) the trigger is watched with XInput 2 on a thread of the addon's own, the paste
 * keystroke is Control+V, and "trusted" means the X server is reachable and offers XTEST.
 */

/** What the trigger key did: pressed ("down") or released ("up"). */
export type TriggerEvent = 'down' | 'up';

/**
 * Starts reporting the trigger key. The callback of the first call that passes a function is the
 * one called for the life of the process; later calls do not replace it. It is called with `this`
 * undefined; an exception it throws is reported as an uncaught exception and that event is lost.
 *
 * While listening the process is kept alive; after `stopFnListener` it can exit.
 *
 * @returns true when the key monitor runs (false, for example, when no X server can be reached,
 *   or it does not answer within 0.75 s).
 * @throws TypeError "startFnListener(callback) requires a function" when callback is missing or
 *   not a function.
 */
export function startFnListener(callback: (this: void, event: TriggerEvent) => void): boolean;

/**
 * Stops reporting. Key changes the system took in before the call are still reported (on X11, if
 * the server hands them over within 0.25 s); nothing is reported after the call has returned.
 */
export function stopFnListener(): void;

/**
 * Posts the paste keystroke (Command+V on macOS, Control+V on Linux, Control+Shift+V into a
 * terminal emulator on X11) to whatever has the keyboard focus: V down, a 15 ms pause, V up,
 * with exactly those modifiers (modifier keys the user holds are released around it and pressed
 * again). Blocks for the pause, and on X11 at most 0.75 s for a server that does not answer.
 * Always returns true; ask `isTrusted` whether it can work.
 */
export function sendPaste(): true;

/**
 * Sets the trigger key by macOS virtual key code and returns the code in force. A number is
 * converted to int32 (58.9 gives 58); anything else changes nothing. The modifier keys
 * (54 right Command, 55 Command, 56 Shift, 57 Caps Lock, 58 Option, 59 Control, 60 right Shift,
 * 61 right Option, 62 right Control) react to their own key only; every other code behaves as
 * the default 63, the Fn key, which reacts to the Function modifier flag.
 *
 * On X11 the Fn key cannot be seen at all (the keyboard's Fn key never reaches the X server), so
 * with the default trigger 63, or any code outside the modifier keys, nothing is ever reported:
 * a host on Linux must set one of the modifier keys above. There Super is Command, Alt is Option
 * and AltGr (ISO_Level3_Shift) is right Option.
 *
 * @default 63
 */
export function setTriggerKeyCode(keyCode: number): number;
/** Returns the trigger key code in force without changing it. */
export function setTriggerKeyCode(): number;

/**
 * Whether synthetic input from this process can work. A truthy argument asks the system to prompt
 * for the permission where it has such a prompt (X11 has none). Always a boolean: on X11 false
 * when the server does not answer within 0.75 s.
 */
export function isTrusted(prompt?: unknown): boolean;
