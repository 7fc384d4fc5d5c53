#!/usr/bin/python3
"""Answers many sesearch queries on one binary policy, loaded once, with
the library sesearch itself runs on (setools): each sesearch run would load
the whole policy again.

Usage: sesearch_batch.py POLICY OUTDIR < QUERIES

Each line of QUERIES holds one query in sesearch's options: the kind of
rule (-A, --dontaudit or -T), then any of -s SOURCE, -t TARGET,
-c CLASS[,CLASS...] and -p PERM[,PERM...]. As with sesearch, a type matches
through its attributes too, and a rule matches if it has any of the
permissions. The rules found go to OUTDIR/N for the Nth line (from 1), one
line each, as sesearch prints them; an empty line is no query and makes no
file. An unknown type, class or option ends the run with an error.
"""
import sys

import setools

# sesearch's option for each kind of rule, and the rule type it selects.
RULE_KINDS = {"-A": "allow", "--dontaudit": "dontaudit", "-T": "type_transition"}


def query_of(policy, words):
    """Builds the rule query that the sesearch options in words ask for."""
    if not words or words[0] not in RULE_KINDS:
        raise ValueError("a query starts with one of %s: %s" % (", ".join(RULE_KINDS), " ".join(words)))
    settings = {"ruletype": [RULE_KINDS[words[0]]]}
    options = words[1:]
    if len(options) % 2 != 0:
        raise ValueError("an option lacks its value: %s" % " ".join(words))
    for option, value in zip(options[0::2], options[1::2]):
        if option == "-s":
            settings["source"] = value
        elif option == "-t":
            settings["target"] = value
        elif option == "-c":
            settings["tclass"] = value.split(",")
        elif option == "-p":
            settings["perms"] = set(value.split(","))
        else:
            raise ValueError("unknown option %s in: %s" % (option, " ".join(words)))
    return setools.TERuleQuery(policy, **settings)


def main():
    """Runs every query of standard input and writes what each found."""
    if len(sys.argv) != 3:
        sys.exit("usage: sesearch_batch.py POLICY OUTDIR < QUERIES")
    policy = setools.SELinuxPolicy(sys.argv[1])
    for number, line in enumerate(sys.stdin, 1):
        words = line.split()
        if not words:
            continue
        found = sorted(query_of(policy, words).results())
        with open("%s/%d" % (sys.argv[2], number), "w") as out:
            out.writelines("%s\n" % rule for rule in found)


if __name__ == "__main__":
    main()
