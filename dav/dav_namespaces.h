// The namespace prefixes every DAV query and answer uses, the head of every
// multistatus answer and the escaping of text written into answers.
#pragma once
#include <string>
#include <string_view>

// "xmlns:d=\"DAV:\" xmlns:cal=... xmlns:A=...": six declarations, one blank
// between them. The same prefixes serve as XPath selection namespaces.
const std::wstring& dav_namespaces();

// "<?xml ...?>\n<d:multistatus " + the namespaces + ">\n".
const std::string& multistatus_head();

// Ampersands, double quotes and less-than signs as entities; enough for text
// and attribute values in double quotes. The result is always well-formed
// UTF-8 XML text: bytes that are no valid UTF-8, and characters XML does not
// allow (controls, U+FFFE), become U+FFFD; the ">" of "]]>" and carriage
// returns are written as references.
std::string xml_escape(std::string_view text);
