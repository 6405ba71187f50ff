// Signals: broken pipes ignored, quit raises the exit code, interrupts are
// counted by the handler and acted on outside it; window size.
#ifndef OZU_SIGNALS_H
#define OZU_SIGNALS_H

void interruptSetup(void);
void interruptEnable(void);
void interruptClear(void);
// Nonzero once three interrupts within three seconds asked for the end;
// the main thread then calls shutdownOZU at its next safe point.
int ozu_ShutdownRequested(void);
[[noreturn]] void ozu_Abort(void);
void ozu_SetWindowSize(void);

#endif
