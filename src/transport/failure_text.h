// The English text of a failed command, from its result code and the record
// LastCommand designates.
#pragma once

#include <string>

void DescribeFailure(int code, std::string& text);
