#include "app/AppDelegate.h"

int main(int argc, char *argv[])
{
    return AppDelegate::main(argc, argv);
}
