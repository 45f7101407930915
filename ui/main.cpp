#include "application.h"

// qn480-tool: the QN480 bench tool. It takes no arguments.
int main(int argc, char **argv)
{
    qn480::Application app(argc, argv);
    return qn480::runMainWindow(app);
}
