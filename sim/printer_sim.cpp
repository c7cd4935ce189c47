// The printer simulator (being written).
