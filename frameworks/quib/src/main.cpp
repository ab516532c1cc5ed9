#include "quib/List.h"
#include "quib/String.h"

int appMain(const Quib::List<Quib::String>& arguments);

// The process entry: the arguments are gathered and handed to the
// application, whose result becomes the exit status.
int main(int argc, char** argv) {
    int status;
    {
        Quib::List<Quib::String> arguments;
        for (int i = 1; i < argc; ++i)
            arguments.add(Quib::String(argv[i]));
        status = appMain(arguments);
    }
    return status;
}
