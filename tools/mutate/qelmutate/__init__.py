"""Mutation testing for the C++ sources: mutant schemata, build, run, report."""
