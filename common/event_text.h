#pragma once
// What goes into an event's text comes from file names and templates, which
// anyone who can drop a scan chooses: each string is made safe to show before
// it is written.
#include <string>

// Strings longer than this are cut, and the count of what was cut is told.
constexpr size_t kEventTextMaxChars = 2000;

// Control characters (line breaks among them) and the characters that reorder
// text on screen are shown as "\u<hex>" (a line break as "\r" or "\n"), so an
// event's lines are its own; "%%" is broken up ("%\u0025"), since a viewer would
// take "%%<n>" for a message of its own to insert; and the text is cut after
// kEventTextMaxChars characters with " ... and <n> more characters".
std::wstring CleanEventText(const wchar_t* pwszText);
