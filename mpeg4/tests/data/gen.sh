#!/bin/sh
# Conformance streams: ffmpeg's mpeg4 encoder, one thread (no resync markers), no B-frames unless noted.
set -e
ff="ffmpeg -hide_banner -loglevel error -y -threads 1"
enc="-c:v mpeg4 -threads 1 -bf 0"
$ff -f lavfi -i testsrc=size=352x240:rate=30000/1001 -frames:v 30 $enc -g 30 -q:v 6 -f m4v simple_352x240.m4v
$ff -f lavfi -i testsrc2=size=352x240:rate=30000/1001 -vf "rotate=0.3*t:fillcolor=gray" -frames:v 20 $enc -g 20 -q:v 10 -flags +mv4 -mbd rd -f m4v mv4_352x240.m4v
$ff -f lavfi -i testsrc2=size=352x240:rate=30000/1001 -vf "rotate=0.3*t:fillcolor=gray" -frames:v 20 $enc -g 20 -q:v 10 -flags +qpel+mv4 -mbd rd -f m4v qpel_352x240.m4v
$ff -f lavfi -i testsrc=size=352x240:rate=30000/1001 -frames:v 30 $enc -g 30 -q:v 6 -mpeg_quant 1 \
  -intra_matrix "8,12,14,16,18,20,22,24,12,14,16,18,20,22,24,26,14,16,18,20,22,24,26,28,16,18,20,22,24,26,28,30,18,20,22,24,26,28,30,32,20,22,24,26,28,30,32,34,22,24,26,28,30,32,34,36,24,26,28,30,32,34,36,40" \
  -inter_matrix "16,16,17,17,18,18,19,19,16,17,17,18,18,19,19,20,17,17,18,18,19,19,20,20,17,18,18,19,19,20,20,21,18,18,19,19,20,20,21,21,18,19,19,20,20,21,21,22,19,19,20,20,21,21,22,22,19,20,20,21,21,22,22,23" \
  -f m4v mpegquant_352x240.m4v
$ff -f lavfi -i testsrc2=size=704x480:rate=60000/1001 -vf "rotate=0.6*t:fillcolor=gray,tinterlace=interleave_top" -frames:v 8 $enc -r 30000/1001 -g 8 -q:v 14 -flags +ildct+ilme -mbd rd -top 1 -f m4v interlaced_704x480.m4v
$ff -f lavfi -i testsrc2=size=720x576:rate=50 -vf "rotate=0.6*t:fillcolor=gray,tinterlace=interleave_top" -frames:v 8 $enc -r 25 -g 8 -q:v 14 -flags +ildct+ilme -mbd rd -top 1 -f m4v interlaced_720x576.m4v
$ff -f lavfi -i testsrc=size=352x240:rate=30000/1001 -frames:v 300 $enc -g 300 -b:v 24k -f m4v longgop_352x240.m4v
$ff -f lavfi -i testsrc=size=704x480:rate=60000/1001 -vf "tinterlace=interleave_top" -frames:v 6 $enc -r 30000/1001 -g 6 -q:v 12 -flags +ildct+ilme -top 1 -f m4v bare_704x480_full.m4v
$ff -f lavfi -i testsrc=size=352x240:rate=30000/1001 -frames:v 6 $enc -g 6 -q:v 8 -f m4v bare_352x240_full.m4v
$ff -f lavfi -i testsrc=size=352x240:rate=30000/1001 -frames:v 6 -c:v mpeg4 -threads 1 -g 6 -bf 2 -q:v 8 -f m4v bvop_352x240.m4v
$ff -f lavfi -i testsrc=size=176x144:rate=25 -frames:v 1 $enc -q:v 10 -data_partitioning 1 -f m4v partitioned_176x144.m4v
$ff -f lavfi -i testsrc=size=352x288:rate=25 -frames:v 1 $enc -q:v 20 -f m4v cif_352x288.m4v
