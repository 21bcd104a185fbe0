not a program either
