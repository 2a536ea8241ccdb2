#pragma once

// Status polls against the built alertserver program, run as processes of
// their own, side by side on each store: one process on SQLite, one on
// PostgreSQL, and two on one PostgreSQL database. Each configuration gets a
// paced round and a flat-out round; the figures include the processor time
// and memory of every process: the servers, PostgreSQL's, and the clients'.

struct StoreRoundOptions
{
    int clients = 64;
    double seconds = 5;
    int users = 10000;
    int threads = 0; // 0: the server's default
    int alertsPerSecond = 50;
    double rate = 5000; // polls a second in the paced round, all servers together
};

// Prints the rounds; PostgreSQL's are left out, saying so, when
// TVX_TEST_POSTGRES names no cluster. Answers 0 when no poll failed.
int runStoreRounds(const StoreRoundOptions &options);
