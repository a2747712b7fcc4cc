#!/bin/sh
# Field-size streams for the bitmap export: one I-VOP and one P-VOP each, made with ffmpeg's mpeg4
# encoder from its testsrc generator (run here; the tests read only the .m4v files).
set -e
ff="ffmpeg -hide_banner -loglevel error -y -threads 1"
enc="-c:v mpeg4 -threads 1 -bf 0 -g 2 -q:v 20"
$ff -f lavfi -i testsrc=size=720x240:rate=25 -frames:v 2 $enc -f m4v field_720x240.m4v
$ff -f lavfi -i testsrc=size=704x240:rate=25 -frames:v 2 $enc -f m4v field_704x240.m4v
