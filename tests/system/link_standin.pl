#!/usr/bin/perl
# SPDX-License-Identifier: GPL-2.0-or-later
# Another link-control service on 127.0.0.1:5000, as a router may run one
# (the PPPoE software's own): it answers "status pppoe" with Online and
# "rate pppoe" with the two fixed rates it is given, so that the daemon's
# picture shows whose rates it asked. One process per connection.
# usage: link_standin.pl IN_BYTES_PER_S OUT_BYTES_PER_S
# Perl (perl-base), as the test images have no python3.
use strict;
use warnings;
use IO::Socket::INET;

my ($in, $out) = @ARGV;
defined $out or die "usage: link_standin.pl IN_BYTES_PER_S OUT_BYTES_PER_S\n";
$SIG{CHLD} = 'IGNORE';
my $server = IO::Socket::INET->new(LocalAddr => '127.0.0.1', LocalPort => 5000, Proto => 'tcp',
    Listen => 16, ReuseAddr => 1) or die "link_standin: 127.0.0.1:5000: $!\n";
print STDERR "link_standin: 127.0.0.1:5000: listening\n";
while (1) {
    my $client = $server->accept or next;
    my $pid = fork();
    if (defined $pid && $pid == 0) {
        close $server;
        while (my $line = <$client>) {
            $line =~ s/[\r\n]+\z//;
            my $reply = $line eq 'status pppoe' ? 'OK Online'
                : $line eq 'rate pppoe' ? "OK $in $out" : 'ERR unknown command';
            print $client "$reply\r\n";
        }
        exit 0;
    }
    close $client;
}
