// The fixed help summary and command-line usage texts, on ttyOut.
#ifndef OZU_HELP_H
#define OZU_HELP_H

void ozu_HelpSummary(void);
void ozu_Usage(void);

#endif
