#pragma once

// How the height below the buttons is shared between the question (upper) and the
// answer (lower) card label.
enum class Proportion { OneTwo, OneOne, TwoOne };

// Font sizes in points for the card labels, from the length of the text in UTF-16 code
// units and the label widths in pixels. `enlarge` is the window's divisor (4.3 in single
// precision). Computed in double precision and rounded once to single precision.
// The answer label reads its own width only for short texts under 1:2 and 2:1; every
// other case reads the question label's width.
float QuestionFontSize(Proportion proportion, int length, float width0, float enlarge);
float AnswerFontSize(Proportion proportion, int length, float width0, float width1, float enlarge);
