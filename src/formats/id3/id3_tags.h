// What the format-independent "tags" member needs of ID3: genre names for
// ID3v1 genre numbers, and the first comment, which the "id3" member leaves
// out.
#pragma once

#include <id3tag.h>

#include <string>

// The genre an ID3 genre text names: an ID3v1 genre number, alone or in
// parentheses ("17", "(17)"), becomes its name, and a refinement written
// after the parenthesis ("(4)Eurodisco") wins over it; other text is kept.
std::string id3_genre_text(const std::string &text);

// The name of ID3v1 genre `number`, "" when it has none.
std::string id3_genre_name_of(unsigned number);

// The text of the first comment frame ("COMM") of `tag`, "" when none.
std::string id3_first_comment(const id3_tag *tag);
