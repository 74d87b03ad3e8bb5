// The service role of the executable: registers on the bus, runs the broker
// and answers parse calls until idle or told to stop.
#pragma once

int main_parent(int argc, char **argv);
