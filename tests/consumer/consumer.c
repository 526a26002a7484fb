/* A minimal host built against an installed quorvel: prints the size of one
 * picture and the size of its fitted preview. */
#include <quorvel.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    ImageSummary summary;
    if (argc != 3 || !GetQuorvel(argv[1], &summary, QUORVEL_PREVIEW_FITTED, argv[2]))
        return 1;
    printf("%.3f x %.3f in, preview %d x %d\n", summary.fWidthInches, summary.fHeightInches,
           (int)summary.nPreviewWidth, (int)summary.nPreviewHeight);
    QuorvelFreePreview(summary.pPreviewBits);
    return 0;
}
