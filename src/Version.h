#pragma once

// The version the programs say (--version, --help): the project's, with the
// commit they were built from ("1.0.0+g8944c4d"). Made at build time by
// tools/version.sh.
extern const char velvoriaVersion[];
