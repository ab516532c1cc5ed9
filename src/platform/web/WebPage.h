#pragma once

// Tells the page what the program is doing: "loaded" (the production is
// built and can start), "ready" (the still frame is on the canvas),
// "playing" (detail: the demo time in seconds), "ended", "error" (detail:
// the message). The page shows it and keeps document.title.
void tellPage(const char* event, const char* detail = "");
