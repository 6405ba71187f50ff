// The prompt template and the yes/no question.
#ifndef OZU_PROMPT_H
#define OZU_PROMPT_H

// The expanded prompt in a buffer of globalDefs.promptLen characters owned
// here, valid until the next call.
const char *ozu_FormatPrompt(const char *promptString);
// 0 yes, 1 all, 2 no, 3 quit, -1 no terminal or end of input.
int ozu_GetYesNo(const char *prompt, const char *object);

#endif
