#!/usr/bin/python3
"""Answers many sesearch queries on one binary policy, loaded once, with
the library sesearch itself runs on (setools): each sesearch run would load
the whole policy again. Each query walks only the rules of its source type,
gathered once per source: a walk of every rule of the policy per query
takes minutes on a policy as large as Fedora's.

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


class RulesOf:
    """The policy as a query sees it, with only the given TE rules: a query
    with the same source as the query that found them matches exactly as
    on the whole policy."""

    def __init__(self, policy, rules):
        self._policy = policy
        self._rules = rules

    def terules(self):
        """The TE rules a query walks."""
        return iter(self._rules)

    def __getattr__(self, name):
        return getattr(self._policy, name)

    def __str__(self):
        return str(self._policy)


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
    # Every TE rule of a source type (through its attributes too), by type.
    rules_of_source = {}
    for number, line in enumerate(sys.stdin, 1):
        words = line.split()
        if not words:
            continue
        query = query_of(policy, words)
        if query.source:
            name = str(query.source)
            if name not in rules_of_source:
                rules_of_source[name] = list(setools.TERuleQuery(policy, source=query.source).results())
            query.policy = RulesOf(policy, rules_of_source[name])
        found = sorted(query.results())
        with open("%s/%d" % (sys.argv[2], number), "w") as out:
            out.writelines("%s\n" % rule for rule in found)


if __name__ == "__main__":
    main()
