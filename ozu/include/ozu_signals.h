// Signals: broken pipes ignored, quit raises the exit code, interrupts are
// counted by the handler and acted on outside it; window size.
#ifndef OZU_SIGNALS_H
#define OZU_SIGNALS_H

void interruptSetup(void);
// Puts the interrupt handler and its service thread in place for the rest
// of the process, as early as the start: from then on a Ctrl-C is counted,
// reported and never ends the shell by itself. interruptEnable does the
// same; interruptClear leaves the handler in place (callers still bracket
// their waits with the pair).
void interruptCatch(void);
void interruptEnable(void);
void interruptClear(void);
// Waits (briefly) until the service thread has reported every interrupt
// noted so far, so that its message comes before the next prompt.
void interruptAwaitReport(void);
// Nonzero once three interrupts within three seconds asked for the end;
// the main thread then calls shutdownOZU at its next safe point.
int ozu_ShutdownRequested(void);
[[noreturn]] void ozu_Abort(void);
// Tells the gateway the window size; the result of sending it (0 when
// nothing was sent), negative when the connection failed.
int ozu_SetWindowSize(void);

#endif
