// PROPFIND and REPORT: the shared frame (prologue, body, Depth) and the
// plain WebDAV answers.
#pragma once
#include <cstdint>
#include <functional>
#include <string_view>

class http_prop_base_request;
struct xml_document;

// The Depth header: 0 when absent, -1 for "infinity" (any letter case), the
// leading decimal digits otherwise (text without digits counts as 0).
// False when the number is out of range.
bool parse_depth(std::string_view text, int32_t& depth);

// Runs the frame around the answer and sends a successful answer.
int run_prop_frame(http_prop_base_request& request,
                   const std::function<int(xml_document&)>& answer);

int propfind_answer(http_prop_base_request& request, xml_document& document);
int report_answer(http_prop_base_request& request, xml_document& document);
