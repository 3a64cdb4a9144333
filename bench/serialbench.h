#pragma once

// Each chip's own value: what its reservation and settlement cost per chip,
// on the line's SQLite file and against a throw-away PostgreSQL server
// with leases.
int benchSerial(int chips, int stations);
